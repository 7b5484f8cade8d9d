#include "engine_probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/sync.h"
#include "service_host.h"

namespace testing_support {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || c == '\\') {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool sendAll(platform::SocketHandle socket, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const int n = platform::sendSocket(socket, text.data() + sent,
                                       static_cast<int>(text.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

int engineProbe(int argc, char** argv) {
  const std::string mode = argc > 3 ? argv[3] : "";
  // Dies before looking at anything; the socket goes with the process.
  if (mode == "exit") return 0;
  // Proves the standard error it was given reaches its reader.
  if (mode == "stderr") {
    std::fputs("stderr reached\n", stderr);
    return 0;
  }
  platform::startSockets();
  std::uintptr_t number = 0;
  bool found = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-f=", 3) == 0) {
      number = std::strtoull(argv[i] + 3, nullptr, 10);
      found = true;
      break;
    }
  }
  if (!found) return 3;
  const platform::SocketHandle socket = platform::adoptInheritedSocket(number);
  if (socket == platform::kInvalidSocket) return 4;
  if (mode == "hold") {
    // What the client sends stays unread; the kernel resets the
    // connection when the process ends.
    platform::sleepMs(kHoldMs);
    return 0;
  }
  if (mode == "close-first") {
    platform::closeSocket(socket);
    platform::sleepMs(kLingerMs);
    return 0;
  }
  if (mode == "report") {
    std::string report;
    for (int i = 0; i < argc; ++i) report += "arg=" + escaped(argv[i]) + "\n";
    for (const std::string& entry : probeEnvironment()) report += "env=" + escaped(entry) + "\n";
    report += probeIdentityLines();
    report += "end\n";
    sendAll(socket, report);
  }
  platform::shutdownSend(socket);
  platform::closeSocket(socket);
  return 0;
}

VORND_SERVICE_HOST("engine-probe", engineProbe);

}  // namespace

ProbeReport parseProbeReport(const std::string& text) {
  ProbeReport report;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = line.find('=');
    const std::string key = line.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : unescaped(line.substr(equals + 1));
    if (key == "arg") report.args.push_back(value);
    else if (key == "env") report.env.push_back(value);
    else if (key == "fd") report.fds.push_back(std::atoi(value.c_str()));
    else if (key == "file") report.files.push_back(value);
    else if (key == "socket") report.sockets.push_back(value);
    else if (key == "uid") report.uid = value;
    else if (key == "gid") report.gid = value;
    else if (key == "groups") report.groups = value;
    else if (key == "end") report.complete = true;
  }
  return report;
}

}  // namespace testing_support
