// SPDX-License-Identifier: MIT
#ifndef TOOLLISTEN_H
#define TOOLLISTEN_H

#include <sys/socket.h>

#include <string>

namespace tvktool {

// Where the TCP server is going to listen.
struct ListenEndpoint {
    std::string address;   // numeric: "127.0.0.1", "::1"
    int port = 0;
};

// Looks `host` up as the server does (a passive lookup of names, IPv4 and
// IPv6 literals; empty: every address) and takes its first address. Port 0
// has the system pick a free port there: the server itself refuses 0. False
// with the reason when the host names no address of this machine, or no
// port is free.
bool findListenEndpoint(const std::string& host, int port, ListenEndpoint* endpoint, std::string* why);

// "127.0.0.1:502", "[::1]:502": an address and port as masters write them.
std::string endpointText(const std::string& address, int port);
std::string endpointText(const sockaddr* address);

} // namespace tvktool

#endif
