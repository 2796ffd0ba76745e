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
// Judged on what the host is written as, never by prefix alone: a name
// such as 127.example.com or feature.corp is another machine's.
inline bool isLocalHost(std::u16string_view host) {
  if (host.size() >= 2 && host.front() == u'[' && host.back() == u']') host = host.substr(1, host.size() - 2);
  std::u16string lower(host);
  for (auto& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  if (!lower.empty() && lower.back() == u'.') lower.pop_back();
  if (lower == u"localhost" || lower == u"::1") return true;
  // A dotted IPv4 address: four numbers of up to three digits, each at
  // most 255.
  const auto ipv4 = [](std::u16string_view text, unsigned first, unsigned second) {
    unsigned parts[4] = {};
    std::size_t count = 0;
    std::size_t digits = 0;
    for (const auto c : text) {
      if (c == u'.') {
        if (digits == 0 || ++count == 4) return false;
        digits = 0;
      } else if (c >= u'0' && c <= u'9' && digits < 3) {
        parts[count] = parts[count] * 10 + static_cast<unsigned>(c - u'0');
        if (parts[count] > 255) return false;
        ++digits;
      } else {
        return false;
      }
    }
    return count == 3 && digits != 0 && parts[0] == first && (second == 256 || parts[1] == second);
  };
  if (ipv4(lower, 127, 256) || ipv4(lower, 169, 254)) return true;
  // An IPv6 link-local address (fe80::/10): hex digits and colons only,
  // with a colon, perhaps a zone after %.
  const auto zone = lower.find(u'%');
  const std::u16string_view address = std::u16string_view(lower).substr(0, zone);
  if (address.size() < 4 || address.find(u':') == std::u16string_view::npos) return false;
  for (const auto c : address) {
    if (!(c == u':' || (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  }
  const auto group = address.substr(0, address.find(u':'));
  return group.size() == 4 && group[0] == u'f' && group[1] == u'e' &&
         (group[2] == u'8' || group[2] == u'9' || group[2] == u'a' || group[2] == u'b');
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
