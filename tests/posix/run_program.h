// Running a built program from a test: its standard input given, both
// outputs and the exit status collected, a run that outlives its limit
// killed.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace testing_support {

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a program, in `folder` when one is given, with `input` on its
// standard input (then its end) and collects both outputs; a run that
// outlives the limit is killed.
inline Outcome runProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input = "", const std::string& folder = "",
                          int limitMs = 20000) {
  // Everything the child needs is made before fork: other threads run.
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // A child that ends without reading must not end this program too.
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0 && errno != EPIPE) {
    ADD_FAILURE() << "write: " << std::strerror(errno);
  }
  sigaction(SIGPIPE, &previous, nullptr);
  close(in[1]);

  Outcome result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || poll(fds, 2, static_cast<int>(left)) <= 0) {
      ADD_FAILURE() << program << " did not end in time";
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& entry : fds) {
    if (entry.fd >= 0) close(entry.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace testing_support
