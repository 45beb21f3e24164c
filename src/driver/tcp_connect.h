// The TCP connection of a backend that reaches its adapter over the network
// (rbb:, xvc:): HOST as JTAG_PLATFORM writes it, a bracketed IPv6 address
// as a URL writes it.
#ifndef JTAGBOX_DRIVER_TCP_CONNECT_H
#define JTAGBOX_DRIVER_TCP_CONNECT_H

#include <string>

#include "base/unique_fd.h"

namespace jtag {

// "[v6]" without its brackets; any other host as it is.
std::string unbracketed_host(const std::string &host);

// A connected, non-blocking socket with TCP_NODELAY, or an invalid one with
// the reason in `error` ("cannot resolve: ...", "cannot connect: ...").
UniqueFd connect_tcp(const std::string &host, const std::string &port, std::string &error);

}  // namespace jtag

#endif
