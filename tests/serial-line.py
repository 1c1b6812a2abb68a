#!/usr/bin/python3
# SPDX-FileCopyrightText: The dg318 developers
# SPDX-License-Identifier: BSD-3-Clause

# A serial line that stays up: the instrument's end of a pty, kept open for as long as this
# runs, joined to the simulator over one TCP connection that stays up too. A device server
# (ser2net) opens and closes the other end with each client, as it does a real serial port; what
# the instrument writes meanwhile waits here and goes out when the port is open again, as it
# would wait in a real instrument's output. (socat's pty ends when the device server closes it.)
# Usage: tests/serial-line.py LINK SIMULATOR_ADDRESS     (LINK: where the pty's name goes)
import os
import select
import socket
import sys
import termios
import time
import tty


def main():
    link, simulator = sys.argv[1], sys.argv[2]
    master, slave = os.openpty()
    tty.setraw(slave)
    attributes = termios.tcgetattr(slave)
    attributes[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    name = os.ttyname(slave)
    # Only the device server holds the other end: its closing is seen as a hang-up.
    os.close(slave)
    os.symlink(name, link)
    instrument = socket.create_connection((simulator, 4000))
    waiting = b""
    while True:
        poller = select.poll()
        poller.register(master, select.POLLIN)
        poller.register(instrument, select.POLLIN)
        ready = dict(poller.poll(50))
        hung_up = bool(ready.get(master, 0) & select.POLLHUP)
        if ready.get(master, 0) & select.POLLIN and not hung_up:
            try:
                data = os.read(master, 4096)
            except OSError:  # the device server has just closed the port
                data = b""
            if data:
                instrument.sendall(data)
        if ready.get(instrument.fileno(), 0) & select.POLLIN:
            data = instrument.recv(4096)
            if not data:
                return 0
            waiting += data
        if waiting and not hung_up and port_open(master):
            written = os.write(master, waiting)
            waiting = waiting[written:]
        elif hung_up:
            time.sleep(0.01)


def port_open(master):
    """Whether the device server has the port open: a closed one reads as a hang-up."""
    poller = select.poll()
    poller.register(master, select.POLLOUT)
    return not any(event & select.POLLHUP for _, event in poller.poll(0))


if __name__ == "__main__":
    sys.exit(main())
