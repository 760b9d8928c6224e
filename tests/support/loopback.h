#pragma once
// Plain sockets on 127.0.0.1 for the test and bench servers that must behave as no HTTP library
// would let them: listening, and reading a request's headers and as much of its body as wanted.

#include <cstddef>
#include <string>

namespace testing_support {

// A socket listening on 127.0.0.1 (`port` 0: any free port), -1 when it cannot listen; `port`
// is set to the port it listens on.
int listen_on_loopback(int& port, int backlog);

// A socket connecting to 127.0.0.1:`port` (non-blocking: the attempt may still be under way);
// `connected` tells whether the connection was made.
int connect_to_loopback(int port, bool nonblocking, bool* connected = nullptr);

// Reads a request's headers into `head`, then its body up to `body_limit` bytes: into `body` when
// given, else in pieces that are dropped (bytes of the body read with the headers then stay at
// the end of `head`). Returns the body bytes read, or std::string::npos when the peer stopped or
// stayed silent for 5 s first.
std::size_t read_request(int fd, std::string& head, std::size_t body_limit,
                         std::string* body = nullptr);

}  // namespace testing_support
