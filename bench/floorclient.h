// SPDX-FileCopyrightText: The dg318 developers
// SPDX-License-Identifier: BSD-3-Clause

#pragma once

#include <QtGlobal>

#include <string>
#include <string_view>

// The least a client can do to talk to the instrument: blocking POSIX socket
// calls with TCP_NODELAY, one line out, its reply read up to the line end.
// What it takes is the floor that the window's exchanges are measured against.
class FloorClient
{
public:
    FloorClient() = default;
    FloorClient(const FloorClient &) = delete;
    FloorClient &operator=(const FloorClient &) = delete;
    ~FloorClient();

    // Connects to an IPv4 address given in dotted-decimal form.
    bool connectTo(const char *address, quint16 port);
    // Sends `command` with "\r\n" and returns the reply, line end included;
    // returns nothing when the connection fails or no line end comes in 2.5 s.
    std::string exchange(std::string_view command);
    void close();

private:
    int fd = -1;
    std::string pending; // received after the line end of the last reply
};
