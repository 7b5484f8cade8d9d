// The hand-over of an accepted client to its own engine process: the
// command line, the environment block, and the launch with an inheritable
// copy of the connection.
#include <new>
#include <string>

#include "daemon/vornd.h"
#include "platform/command_line.h"
#include "platform/error.h"
#include "platform/process_launch.h"
#include "platform/wipe.h"
#include "platform/address_text.h"
#include "session/log_text.h"
#include "session/socket.h"

namespace {

constexpr int kReplySize = 2;

}  // namespace

// A client's piece arrives as one argument whatever its bytes: a value
// with blanks or quotes is quoted by the C-runtime rules, so "x -fms_server"
// cannot become an argument of its own.
//
//   field bytes        appended
//   "ab "              " -ap=ab"
//   "a b   " (type)    " -type=\"a b\""
//   "x\"y" (process)   " -process=\"x\\\"y\""
//   all blanks/NULs    nothing
void CVornD::appendStartupArg(std::string& commandLine, const char* name, const char* field,
                              std::size_t width) {
  std::size_t length = width;
  while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\0')) --length;
  if (length == 0) return;
  commandLine += " -";
  commandLine += name;
  commandLine += '=';
  commandLine += platform::quoteArgument(std::string(field, length));
}

std::string CVornD::engineCommandLine(const netLogin& login, platform::SocketHandle socket) const {
  std::string line = m_config.VornExecutable;
  line += " -f=" + std::to_string(socket);
  auto instancePiece = [&line](const char* option, const std::string& value) {
    if (!value.empty()) line += option + value;
  };
  instancePiece(" -ap=", m_config.VornApplication);
  instancePiece(" -db=", m_config.VornDatabase);
  instancePiece(" -type=", m_config.VornProcessType);
  instancePiece(" -proc=", m_config.VornProcessName);
  const bool fms = login.startupBeginsWith("-fms_server");
  const bool odbc = login.startupBeginsWith("-odbc_server");
  if (fms) line += " -fms_server";
  if (odbc) line += " -odbc_server";
  if (!m_config.ServiceDisableCmds && !fms && !odbc) {
    appendStartupArg(line, "ap", login.bytes + netLogin::kAp, netLogin::kApSize);
    appendStartupArg(line, "db", login.bytes + netLogin::kDb, netLogin::kDbSize);
    appendStartupArg(line, "type", login.bytes + netLogin::kType, netLogin::kTypeSize);
    appendStartupArg(line, "process", login.bytes + netLogin::kProcess, netLogin::kProcessSize);
  }
  return line;
}

std::string CVornD::buildEnvironment(const std::string* user, const std::string* password,
                                     const platform::Endpoint* peer,
                                     const TlsSession* tls) const {
  const std::map<std::string, std::string>& list = m_config.Environment;
  // The client's credentials go in over whatever the list has for them,
  // in the list's order; the list itself stays as it was loaded, shared
  // by every launch.
  const bool credentials = user != nullptr && password != nullptr;
  struct Override {
    const char* name;
    const std::string* value;
  };
  const Override overrides[2] = {{"$SYSUID", user}, {"$SYSUIDP", password}};
  const std::size_t overrideCount = credentials ? 2 : 0;

  std::size_t size = 1;
  for (const auto& [name, value] : list) size += name.size() + value.size() + 2;
  if (credentials) size += user->size() + password->size() + 20;
  if (peer != nullptr) size += 96;
  if (tls != nullptr) size += 64 + tls->protocol.size() + tls->cipher.size() + tls->clientSubject.size();
  std::string block;
  block.reserve(size + 1);
  auto append = [&block](const std::string& name, const std::string& value) {
    block += name;
    block += '=';
    block += value;
    block += '\0';
  };
  std::size_t next = 0;
  for (const auto& [name, value] : list) {
    for (; next < overrideCount && name > overrides[next].name; ++next) {
      append(overrides[next].name, *overrides[next].value);
    }
    if (next < overrideCount && name == overrides[next].name) {
      append(name, *overrides[next].value);
      ++next;
      continue;
    }
    append(name, value);
  }
  for (; next < overrideCount; ++next) append(overrides[next].name, *overrides[next].value);
  // Behind TLS the engine's socket is the relay's stream, behind a
  // balancer it is the balancer's connection; neither names the client:
  // the daemon does, after the list.
  if (peer != nullptr) {
    append("VORND_CLIENT_ADDRESS", addressText(peer->address));
    append("VORND_CLIENT_PORT", std::to_string(peer->port));
  }
  if (tls != nullptr) {
    append("VORND_TLS_PROTOCOL", tls->protocol);
    append("VORND_TLS_CIPHER", tls->cipher);
    if (!tls->clientSubject.empty()) append("VORND_TLS_CLIENT_SUBJECT", tls->clientSubject);
  }
  block += '\0';
  // The process call reads up to two NULs in a row: an empty block must
  // not send it past the end.
  if (list.empty() && overrideCount == 0 && tls == nullptr && peer == nullptr) block += '\0';

  if (m_config.LogAllEvents) {
    m_log.entry() << "Environment";
    for (const auto& [name, value] : list) {
      if (!name.empty() && name[0] == '$') continue;  // the credentials never reach the log
      m_log.entry() << name << "=" << value;
    }
  }
  return block;
}

bool CVornD::startEngine(const netLogin& login, CSocket& client, platform::LogonToken token,
                         const platform::Endpoint& peer, const TlsSession* tls,
                         bool proxied) {
  // The engine's socket names the balancer or the relay, not the client:
  // the environment does.
  const platform::Endpoint* hidden = tls != nullptr || proxied ? &peer : nullptr;
  platform::SocketHandle duplicate = platform::kInvalidSocket;
  bool launched = false;
  const char* operation = "CreateProcess failed";
  platform::ErrorCode code = 0;

  if (!platform::duplicateSocketHandle(client.Handle(), duplicate)) {
    // No copy, so no number for the engine and nothing to close.
    code = platform::lastError();
    duplicate = platform::kInvalidSocket;
    operation = "DuplicateHandle failed";
  } else {
    // The launch makes the copy inheritable for this engine alone.
    try {
      const std::string commandLine = engineCommandLine(login, duplicate);
      if (m_config.LogAllEvents) {
        // As the engine gets it: up to a NUL a client may have put in.
        m_log.entry() << "startEngine - command line (" << printableText(commandLine.c_str())
                      << ")";
      }
      platform::ProcessLaunch launch;
      launch.commandLine = commandLine.c_str();
      launch.desktop = m_strDesktop.empty() ? nullptr : m_strDesktop.c_str();
      launch.inherited = duplicate;
      // $SYSUIDP holds the password: the block is wiped with it.
      platform::WipedText environment;
      if (m_config.AuthenticationMethod == "LogonUser") {
        environment.text = buildEnvironment(nullptr, nullptr, hidden, tls);
        launch.asUser = true;
        launch.token = token;
      } else {
        const std::string user = login.user();
        const platform::WipedText password{login.password()};
        environment.text = buildEnvironment(&user, &password.text, hidden, tls);
      }
      launch.environment = environment.text.data();
      launched = platform::launchProcess(launch);
      if (!launched) code = platform::lastError();
    } catch (const std::bad_alloc&) {
      code = platform::kErrorNotEnoughMemory;
    }
  }
  // The token serves one launch at most, whatever became of it.
  if (token != nullptr) platform::closeLogonToken(token);

  if (launched) {
    if (m_config.LogAllEvents) m_log.entry() << "startEngine - ack";
  } else {
    m_log.entry() << "startEngine " << operation << ": "
                  << withoutFinalLineBreak(FormatErrorText(code));
    client.Send(kLoginRefused, kReplySize);
    m_log.entry() << "startEngine - nack";
    ReportFailure(operation, true, code);
  }
  client.Close();
  if (duplicate != platform::kInvalidSocket) platform::closeSocketDuplicate(duplicate);
  return launched;
}
