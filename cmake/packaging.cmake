# Installing vornd as a Linux daemon, and its Debian package:
#
#   cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build-pkg && (cd build-pkg && cpack -G DEB)
#
# Included at the end of the top CMakeLists.txt, once every program target
# exists. Windows has its own way of installing (README, "Running on
# Windows").
if(WIN32)
  return()
endif()

include(GNUInstallDirs)

# ---- What `cmake --install` puts where --------------------------------------

set(VORND_SBIN_PROGRAMS vornd)
# The daemon starts its TLS relay from its own folder; a build without
# OpenSSL has none, and its instances say so when TLS is asked for.
if(TARGET vornd-tls)
  list(APPEND VORND_SBIN_PROGRAMS vornd-tls)
endif()
set(VORND_BIN_PROGRAMS vornreg vornlogin vorn-echo-engine)
install(TARGETS ${VORND_SBIN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS ${VORND_BIN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The installed programs resolve every symbol at load (with the toolchain's
# default relro, a read-only GOT), as Debian builds its binaries.
foreach(program IN LISTS VORND_SBIN_PROGRAMS VORND_BIN_PROGRAMS)
  target_link_options(${program} PRIVATE LINKER:-z,now)
endforeach()

# A stripped install (cpack, cmake --install --strip) also drops what a plain
# strip keeps and no one reads: the compiler's .comment and .note sections.
set(VORND_INSTALLED_PROGRAMS)
foreach(program IN LISTS VORND_SBIN_PROGRAMS)
  list(APPEND VORND_INSTALLED_PROGRAMS ${CMAKE_INSTALL_SBINDIR}/${program})
endforeach()
foreach(program IN LISTS VORND_BIN_PROGRAMS)
  list(APPEND VORND_INSTALLED_PROGRAMS ${CMAKE_INSTALL_BINDIR}/${program})
endforeach()
if(CMAKE_STRIP)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program IN ITEMS ${VORND_INSTALLED_PROGRAMS})
        execute_process(
          COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\"
          RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
          message(FATAL_ERROR \"strip of \${program} failed\")
        endif()
      endforeach()
    endif()")
endif()

# Manual pages, compressed as Debian wants them (gzip -9n: no name, no time,
# so the same sources give the same bytes); plain troff without gzip.
set(VORND_MAN_PAGES vornd.8 vornreg.8 vornlogin.1 vorn-echo-engine.1)
find_program(VORND_GZIP gzip)
set(VORND_MAN_OUTPUTS)
foreach(page IN LISTS VORND_MAN_PAGES)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${page}")
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/man/${page})
  # Each page's title line names the version the package has.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(STRINGS ${source} title LIMIT_COUNT 1 REGEX "^\\.TH ")
  if(NOT title MATCHES "\"vornd ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "man/${page}: the title line (${title}) does not name "
                        "\"vornd ${PROJECT_VERSION}\", the project's version")
  endif()
  if(VORND_GZIP)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
      COMMAND ${VORND_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/man/${page}
      DEPENDS ${source}
      COMMENT "Compressing manual page ${page}"
      VERBATIM)
    list(APPEND VORND_MAN_OUTPUTS ${output})
  else()
    set(output ${source})
  endif()
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(vornd_man_pages ALL DEPENDS ${VORND_MAN_OUTPUTS})

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What lintian is told to let pass, each with its reason in the file.
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME vornd)

# The package's copyright file (machine-readable, for /usr/share/doc/vornd)
# and its changelog. The package is its own upstream (a native package, in
# Debian's words), so its one changelog is changelog.gz, compressed as the
# manual pages are. Its top entry names the version the package is built as:
# a project version without its entry fails here, not in a released package.
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(VORND_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VORND_CHANGELOG})
file(STRINGS ${VORND_CHANGELOG} VORND_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT VORND_CHANGELOG_TOP MATCHES "^vornd \\(([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line is not the head of an entry "
                      "(\"vornd (<version>) <distribution>; urgency=<urgency>\"): "
                      "\"${VORND_CHANGELOG_TOP}\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: the top entry is for version ${CMAKE_MATCH_1}, "
                      "the project is version ${PROJECT_VERSION}; add an entry for "
                      "${PROJECT_VERSION} at the top")
endif()
if(VORND_GZIP)
  set(VORND_CHANGELOG_OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(
    OUTPUT ${VORND_CHANGELOG_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND ${CMAKE_COMMAND} -E copy ${VORND_CHANGELOG} ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
    COMMAND ${VORND_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
    DEPENDS ${VORND_CHANGELOG}
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(vornd_changelog ALL DEPENDS ${VORND_CHANGELOG_OUTPUT})
else()
  set(VORND_CHANGELOG_OUTPUT ${VORND_CHANGELOG})
endif()
install(FILES ${VORND_CHANGELOG_OUTPUT} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# A sample HAProxy configuration for instances on several hosts behind one
# balancer (README, "More than one machine"); scripts/haproxy_checks.sh
# runs HAProxy from it.
install(FILES packaging/haproxy/vornd.cfg DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        RENAME haproxy.cfg)

# A sample Prometheus scrape configuration for the instances' /metrics
# (README, "Metrics"); scripts/prometheus_checks.sh scrapes from it.
install(FILES packaging/prometheus/vornd.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        RENAME prometheus.yml)

# The PAM service of the LogonUser method: /etc/pam.d for the /usr prefix
# (GNUInstallDirs says so), <prefix>/etc/pam.d elsewhere.
install(FILES packaging/vornd.pam DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/pam.d
        RENAME vornd)

# A fail2ban filter for the daemon's refusal warnings and a jail that uses it,
# off until the administrator turns it on, where Debian's fail2ban reads them.
# fail2ban is only suggested: without it they are two unread files.
install(FILES packaging/fail2ban/filter.d/vornd.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/fail2ban/filter.d)
install(FILES packaging/fail2ban/jail.d/vornd.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/fail2ban/jail.d)

# Rotation of the event log, read by Debian's daily logrotate run.
install(FILES packaging/logrotate/vornd
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d)

# The template unit of the instances, vornd@<name>.service. Its source
# names /usr/sbin/vornd; another prefix gets its own path written in.
set(VORND_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit goes, relative to the install prefix")
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/packaging/vornd@.service VORND_UNIT_TEXT)
string(REPLACE "/usr/sbin/vornd" "${CMAKE_INSTALL_FULL_SBINDIR}/vornd" VORND_UNIT_TEXT
       "${VORND_UNIT_TEXT}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/vornd@.service
     CONTENT "${VORND_UNIT_TEXT}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_SOURCE_DIR}/packaging/vornd@.service)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/vornd@.service
        DESTINATION ${VORND_SYSTEMD_UNIT_DIR})

# ---- The Debian package (cpack -G DEB) ----------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# packaging/changelog signs its entries with the same name and address. A
# name under the reserved example.org: it reaches no one, and lintian takes
# it for a real host (not so localhost).
set(CPACK_PACKAGE_CONTACT "vornd maintainers <maintainers@vornd.example.org>")
# cpack puts the summary first; the description is the text after it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network login daemon that hands each client to an engine")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vornd runs instances, each listening on one TCP port. A client sends a
fixed login record; the instance screens it, authenticates the user (PAM
service vornd) and starts one engine process for the client, handing it
the connected socket. The same program installs, removes, starts and stops
instances. The package holds vornd with its TLS relay vornd-tls, the
registry editor vornreg, the login client vornlogin and the sample engine
vorn-echo-engine, with a systemd unit that starts every instance at boot.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # vornd_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
# The PAM file includes the system's common stacks (libpam-runtime); the
# postinst makes the relay's account with adduser; the rest is what the
# programs link against, read by dpkg-shlibdeps (dpkg-dev) when it is
# there, else the same libraries by hand.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpam-runtime, adduser")
find_program(VORND_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VORND_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6, libgcc-s1, libstdc++6, libpam0g")
  if(TARGET vornd-tls)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libssl3")
  endif()
endif()
# fail2ban reads the filter and jail in /etc/fail2ban; the daemon needs none of it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "fail2ban")

set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
# Maintainer scripts 0755 and conffiles 0644, whatever the checkout's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
