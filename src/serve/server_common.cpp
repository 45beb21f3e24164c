#include "serve/server_common.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "base/notice.h"

namespace jtag::serve {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

// The name the server's lines start with ("jtag-sim serve", "jtag-serve").
std::string g_program = "jtag-sim serve";

// The --wave recording, and the first failure to write it (which stops the
// server).
std::unique_ptr<VcdWriter> g_wave;
std::string g_wave_error;
TapState g_wave_end_state = TapState::TestLogicReset;

// A client may write far ahead of what the board acts on, and OpenOCD's
// remote_bitbang gives up at once when the socket is full (errno 11), which
// a busy machine brings about while this server waits for the CPU.  A
// receive buffer of 16 MiB, set on the listening socket so that the
// connections get a window scale to match, lets the client write on
// meanwhile.  Above net.core.rmem_max it takes CAP_NET_ADMIN; without it
// the kernel's own autotuning is left as it is.
void widen_receive_buffer(int fd) {
  const int bytes = 16 << 20;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
}

}  // namespace

void set_program(const std::string &name) { g_program = name; }

bool send_answers(int fd, std::string &answers, std::chrono::steady_clock::time_point &moved) {
  const ssize_t n = ::send(fd, answers.data(), answers.size(), MSG_NOSIGNAL);
  if (n > 0) {
    answers.erase(0, size_t(n));
    moved = std::chrono::steady_clock::now();
  }
  return n >= 0 || errno == EAGAIN || errno == EINTR;
}

void report_stalled_client() {
  notice("dropped a client that left its answers unread for " + std::to_string(kStalledClientSeconds) + " s");
}

void report_client_without_board(const std::string &why) { notice(why + "; client dropped"); }

void watch_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return g_stop != 0; }

void open_wave(const std::string &path) {
  g_wave =
      std::make_unique<VcdWriter>(std::make_unique<RecordFile>(path, "waveform", RecordFile::Mode::Replace), g_program);
}

VcdWriter *wave() { return g_wave.get(); }

void wave_failed(const PlatformError &e) {
  g_wave_error = e.what();
  g_wave.reset();
  g_stop = 1;
}

bool wave_written() {
  if (!g_wave) return g_wave_error.empty();
  try {
    g_wave->flush();
  } catch (const PlatformError &e) {
    wave_failed(e);
    return false;
  }
  return true;
}

bool wave_lost() { return !g_wave_error.empty(); }

void note_wave_end_state(TapState state) { g_wave_end_state = state; }

std::optional<std::string> close_wave() {
  if (g_wave) {
    try {
      // The state after the last edge is that of the board as saved.
      g_wave->close(g_wave_end_state);
    } catch (const PlatformError &e) {
      wave_failed(e);
    }
  }
  if (!g_wave_error.empty()) return g_wave_error;
  return std::nullopt;
}

// Non-blocking: a connection given up between poll() and accept() must not
// leave the server waiting in accept().
UniqueFd listen_on(const std::string &address, int port, int &bound_port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (const int e = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &found); e != 0)
    throw ArgumentError("cannot listen on " + address + ": " + ::gai_strerror(e));
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  if (fd.valid()) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    widen_receive_buffer(fd.get());
  }
  if (!fd.valid() || ::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd.get(), 8) != 0) {
    const std::string shown = found->ai_family == AF_INET6 ? "[" + address + "]" : address;
    throw PlatformError("cannot listen on " + shown + ":" + std::to_string(port) + ": " + std::strerror(errno));
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&bound), &len);
  bound_port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                           : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
  return fd;
}

}  // namespace jtag::serve
