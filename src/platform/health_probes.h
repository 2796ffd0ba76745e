// One try of a health check against the service: an HTTP GET (redirects
// never followed), a TCP connection, or a command run and waited for. Each
// try is bounded by the time it is given, by the tool's own clock, whatever
// the name lookup, the server or the command does; a hung endpoint or
// command counts as a failed try (the command is ended). Portable header; the Win32 implementation loads
// winhttp.dll and ws2_32.dll only when a try needs them, from System32.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "file_and_process.h"

namespace usqz::platform {

struct ProbeAnswer {
  enum class Kind {
    Answered,  // HTTP: the status code; command: it exited, with its code
    Refused,   // no answer: the error says why (connection refused, name not found, …)
    TimedOut,  // no answer in the time given (a command is ended)
  } kind = Kind::Refused;
  std::uint32_t code = 0;   // HTTP status, or the command's exit code
  OsError error = kOk;      // for Refused
  std::u16string lastLine;  // a command's last line of output (standard output and error)
  std::u16string location;  // a redirect's Location, never followed
};

// Whether a host is this machine or its link (loopback, link-local): a
// health check there never goes through a proxy.
inline bool isLocalHost(std::u16string_view host) {
  if (host.size() >= 2 && host.front() == u'[' && host.back() == u']') host = host.substr(1, host.size() - 2);
  std::u16string lower(host);
  for (auto& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  if (!lower.empty() && lower.back() == u'.') lower.pop_back();
  return lower == u"localhost" || lower.rfind(u"127.", 0) == 0 || lower == u"::1" || lower.rfind(u"169.254.", 0) == 0 ||
         lower.rfind(u"fe8", 0) == 0 || lower.rfind(u"fe9", 0) == 0 || lower.rfind(u"fea", 0) == 0 ||
         lower.rfind(u"feb", 0) == 0;
}

class HealthProbes {
 public:
  virtual ~HealthProbes() = default;

  virtual ProbeAnswer httpGet(std::u16string_view url, std::uint32_t timeoutMs) = 0;
  // Answered (code 0) once connected.
  virtual ProbeAnswer tcpConnect(std::u16string_view host, std::uint16_t port, std::uint32_t timeoutMs) = 0;
  // `program` itself with `commandLine`: no window, the tool's environment,
  // its output captured (a few KB at most) and never the tool's; it and
  // whatever it starts are ended at the deadline, and when the tool exits.
  virtual ProbeAnswer runCommand(std::u16string_view program, std::u16string_view commandLine,
                                 std::uint32_t timeoutMs) = 0;
};

}  // namespace usqz::platform
