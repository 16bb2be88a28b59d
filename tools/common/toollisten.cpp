// SPDX-License-Identifier: MIT
#include "toollisten.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tvktool {

namespace {

// The port the system gives a socket bound to port 0 at `address`; 0 when
// it gives none. The probe is closed before the server binds the port.
int freePortAt(const addrinfo& address, std::string* why)
{
    const int probe = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (probe < 0) {
        *why = std::strerror(errno);
        return 0;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    int port = 0;
    if (::bind(probe, address.ai_addr, address.ai_addrlen) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                                           : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    } else {
        *why = std::strerror(errno);
    }
    ::close(probe);
    return port;
}

// The IPv4 or IPv6 address a sockaddr of that family stands for, copied
// out: a sockaddr is aligned for less than its kinds (32-bit ARM's build
// refuses the cast).
template <typename Address>
Address copyOf(const sockaddr* address)
{
    Address copy;
    std::memcpy(&copy, address, sizeof copy);
    return copy;
}

std::string numericAddress(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET) {
        const auto in = copyOf<sockaddr_in>(address);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto in6 = copyOf<sockaddr_in6>(address);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text;
}

} // namespace

bool findListenEndpoint(const std::string& host, int port, ListenEndpoint* endpoint, std::string* why)
{
    // The lookup the server makes before it listens, so that what is
    // printed is where it listens.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return false;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, &::freeaddrinfo);
    endpoint->address = numericAddress(found->ai_addr);
    endpoint->port = port;
    if (port != 0)
        return true;
    // The first address a port can be had at, as the server binds the first
    // address it can.
    for (const addrinfo* a = found; a; a = a->ai_next) {
        endpoint->port = freePortAt(*a, why);
        if (endpoint->port > 0) {
            endpoint->address = numericAddress(a->ai_addr);
            return true;
        }
    }
    *why = "no free port: " + *why;
    return false;
}

std::string endpointText(const std::string& address, int port)
{
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string endpointText(const sockaddr* address)
{
    int port = -1;
    if (address->sa_family == AF_INET)
        port = ntohs(copyOf<sockaddr_in>(address).sin_port);
    else if (address->sa_family == AF_INET6)
        port = ntohs(copyOf<sockaddr_in6>(address).sin6_port);
    return endpointText(numericAddress(address), port);
}

} // namespace tvktool
