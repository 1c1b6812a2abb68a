// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#include "floorclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

FloorClient::~FloorClient()
{
    close();
}

bool FloorClient::connectTo(const char *address, quint16 port)
{
    close();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &peer.sin_addr) != 1)
        return false;

    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    // Only a bound against a hang: the replies on these runs come at once or not at all.
    const timeval receiveTimeout{2, 500000};
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0
        || ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout) != 0
        || ::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        close();
        return false;
    }
    return true;
}

std::string FloorClient::exchange(std::string_view command)
{
    if (fd < 0)
        return {};
    std::string line(command);
    line += "\r\n";
    for (std::size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return {};
        sent += std::size_t(n);
    }

    std::size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return {};
        pending.append(buffer, std::size_t(n));
    }
    std::string reply = pending.substr(0, end + 1);
    pending.erase(0, end + 1);
    return reply;
}

void FloorClient::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    pending.clear();
}
