#pragma once

#ifdef _WIN32
#include "platform/windows/win32.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>

// What both systems' accepts share; for platform/ only.
namespace quayside::platform {

// The accepted peer's IPv4 address (an IPv6 peer: kLoopback when it is
// exactly ::1, else 0) and its port, both in host order.
inline void readPeer(const sockaddr_storage& peer, std::uint32_t& address, std::uint16_t& port) {
  address = 0;
  port = 0;
  if (peer.ss_family == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&peer);
    address = ntohl(ipv4->sin_addr.s_addr);
    port = ntohs(ipv4->sin_port);
  } else if (peer.ss_family == AF_INET6) {
    const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    address = IN6_IS_ADDR_LOOPBACK(&ipv6->sin6_addr) ? kLoopback : 0;
    port = ntohs(ipv6->sin6_port);
  }
}

}  // namespace quayside::platform
