#include "backends/tcp_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>

#include "base/errno_text.h"

namespace jtag {

std::string unbracketed_host(const std::string &host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

UniqueFd connect_tcp(const std::string &host, const std::string &port, std::string &error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  if (const int e = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); e != 0) {
    error = std::string("cannot resolve: ") + ::gai_strerror(e);
    return UniqueFd();
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  UniqueFd socket;
  error = "cannot connect: no address";
  for (const addrinfo *a = addresses.get(); a != nullptr && !socket.valid(); a = a->ai_next) {
    UniqueFd attempt(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!attempt.valid()) continue;
    if (::connect(attempt.get(), a->ai_addr, a->ai_addrlen) == 0)
      socket = std::move(attempt);
    else
      error = "cannot connect: " + errno_text();
  }
  if (!socket.valid()) return socket;
  const int one = 1;
  ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::fcntl(socket.get(), F_SETFL, ::fcntl(socket.get(), F_GETFL) | O_NONBLOCK);
  return socket;
}

std::string unanswered_notice(const std::string &server) {
  return server + " has not answered for " + std::to_string(kWaitingNoticeSeconds) +
         " s; it may be serving another client (one at a time): waiting";
}

}  // namespace jtag
