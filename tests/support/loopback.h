#pragma once

#include <cstdint>
#include <string>

// Sockets of the test servers on this machine, all close-on-exec: a program the test starts
// must not hold a connection open past the server's close.

// A listening TCP socket on 127.0.0.1 (port 0: a free one), or -1 with *error set.
int listenOnLoopback(std::uint16_t port, std::uint16_t *bound, std::string *error);

// Closes a connection with a reset (SO_LINGER 0) rather than an end of stream.
void resetAndClose(int fd);

// Makes a descriptor non-blocking and, for a TCP socket, sends each write at once.
void setNonBlocking(int fd);
