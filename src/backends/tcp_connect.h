// The TCP connection of a backend that reaches its adapter over the network
// (rbb:, xvc:): HOST as JTAG_PLATFORM writes it, a bracketed IPv6 address
// as a URL writes it.
#ifndef JTAGBOX_BACKENDS_TCP_CONNECT_H
#define JTAGBOX_BACKENDS_TCP_CONNECT_H

#include <memory>
#include <string>

#include "backends/backend.h"
#include "backends/backend_arguments.h"
#include "backends/tap_record_file.h"
#include "base/unique_fd.h"

namespace jtag {

// "[v6]" without its brackets; any other host as it is.
std::string unbracketed_host(const std::string &host);

// A connected, non-blocking socket with TCP_NODELAY, or an invalid one with
// the reason in `error` ("cannot resolve: ...", "cannot connect: ...").
UniqueFd connect_tcp(const std::string &host, const std::string &port, std::string &error);

// A server of ours serves one client at a time: the next one's connection
// is taken by the kernel and waits, unanswered, until the session before
// it ends.  A client that has had no answer this long after connecting
// says so once (base/notice.h) and goes on waiting.
inline constexpr int kWaitingNoticeSeconds = 2;
// "SERVER has not answered for 2 s; ...", SERVER e.g. "XVC server HOST:PORT".
std::string unanswered_notice(const std::string &server);

// The backend of an adapter on the network: `Lines(host, port)` on the
// host and port JTAG_PLATFORM names, with the TAP record kept per server
// as SCHEME-HOST-PORT (the port as written).  A record that cannot be read
// stops the command before the wire is touched.
template <typename Lines>
Backend open_network_backend(const BackendArguments &arguments, const std::string &scheme) {
  arguments.number("port", 1, 65535);
  const std::string port = arguments.get("port");
  const std::string host = unbracketed_host(arguments.require("host"));
  Backend b;
  b.record = tap_record_file(scheme + "-" + host + "-" + port);
  b.record->load();
  b.lines = std::make_unique<Lines>(host, port);
  return b;
}

}  // namespace jtag

#endif
