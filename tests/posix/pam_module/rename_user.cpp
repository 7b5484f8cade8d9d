// A PAM module for tests alone. Its authentication step names another
// account as the one logging on, given as "user=NAME", and succeeds: what
// a module that maps names (letter case, aliases, directory names) does
// once the typed name has passed. Anything else it is asked succeeds.
#include <security/pam_modules.h>

#include <cstring>

extern "C" {

PAM_EXTERN int pam_sm_authenticate(pam_handle_t* handle, int, int argc, const char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "user=", 5) == 0) {
      return pam_set_item(handle, PAM_USER, argv[i] + 5);
    }
  }
  return PAM_SERVICE_ERR;
}

PAM_EXTERN int pam_sm_setcred(pam_handle_t*, int, int, const char**) { return PAM_SUCCESS; }

PAM_EXTERN int pam_sm_acct_mgmt(pam_handle_t*, int, int, const char**) { return PAM_SUCCESS; }

}  // extern "C"
