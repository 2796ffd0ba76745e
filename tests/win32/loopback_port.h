// Ports of 127.0.0.1 for the end-to-end tests' health endpoints: one the
// system chose and a test listens on, or one nobody listens on now.
#pragma once

#include <cstdint>

#include "platform/win32/windows_api.h"
// After windows.h (kept lean), which it needs.
#include <winsock2.h>

namespace usqz::testing {

// A socket bound to a port of 127.0.0.1 the system chose, and that port.
// Winsock stays started for the caller, which cleans it up.
inline SOCKET boundOnLoopback(std::uint16_t& port) {
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET bound = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int size = sizeof address;
  getsockname(bound, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return bound;
}

// A port nobody listens on now.
inline std::uint16_t freePort() {
  std::uint16_t port = 0;
  closesocket(boundOnLoopback(port));
  WSACleanup();
  return port;
}

}  // namespace usqz::testing
