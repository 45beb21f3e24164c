#include "sim/rbb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "sim/board_session.h"

namespace jtag::sim {
namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

constexpr size_t kBufferBytes = 1 << 16;

// A file descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class Session { Going, Quit, Dropped, Gone };

// One client's session on the board it holds.
class ClientSession {
 public:
  ClientSession(int fd, Board &board) : fd_(fd), board_(board) {}

  // Reads what has come, acts on it byte by byte, answers in one write.
  Session serve_available() {
    char in[kBufferBytes];
    const ssize_t n = ::read(fd_, in, sizeof in);
    if (n == 0) return Session::Gone;
    if (n < 0) return errno == EINTR || errno == EAGAIN ? Session::Going : Session::Gone;
    std::string answers;
    Session result = Session::Going;
    for (ssize_t i = 0; i < n && result == Session::Going; ++i) result = act(in[i], answers);
    if (!write_all(answers)) return Session::Gone;
    return result;
  }

 private:
  Session act(char c, std::string &answers) {
    if (c >= '0' && c <= '7') {
      const int bits = c - '0';
      const bool tck = bits & 4;
      if (tck && !tck_) board_.clock(bits & 2, bits & 1);  // the TAPs act on the rising edge
      tck_ = tck;
      return Session::Going;
    }
    switch (c) {
      case 'R':
        answers.push_back(board_.tdo() ? '1' : '0');
        return Session::Going;
      case 't':
      case 'u':
        board_.test_reset();
        return Session::Going;
      case 'r':
      case 's':
      case 'B':
      case 'b':
      case 'Z':
      case 'z':
        return Session::Going;
      case 'Q':
        return Session::Quit;
      default:
        std::fprintf(stderr, "jtag-sim serve: dropped a client that sent 0x%02x, which remote_bitbang does not have\n",
                     unsigned(static_cast<unsigned char>(c)));
        return Session::Dropped;
    }
  }

  bool write_all(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  }

  int fd_;
  Board &board_;
  bool tck_ = false;
};

int listen_on(int port, int &bound_port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  bound_port = ntohs(addr.sin_port);
  return fd;
}

// Waits for `fd` to be readable; false when a stop signal came.
bool wait_readable(int fd) {
  while (!g_stop) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, 200);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

// Serves one client to its end; the board is held for exactly that long.
void serve_client(int client, const std::filesystem::path &dir) {
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::unique_ptr<BoardSession> session;
  try {
    session = std::make_unique<BoardSession>(dir);
  } catch (const SessionError &e) {
    std::fprintf(stderr, "jtag-sim serve: %s; client dropped\n", e.what());
    return;
  }
  ClientSession s(client, session->board());
  Session state = Session::Going;
  while (state == Session::Going && wait_readable(client)) state = s.serve_available();
  try {
    session->save();
  } catch (const SessionError &e) {
    std::fprintf(stderr, "jtag-sim serve: %s\n", e.what());
  }
}

}  // namespace

int serve_remote_bitbang(const std::filesystem::path &dir, int port) {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  int bound = 0;
  Fd listener(listen_on(port, bound));
  if (listener.get() < 0) {
    std::fprintf(stderr, "jtag-sim serve: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
    return 1;
  }
  std::printf("%d\n", bound);
  std::fflush(stdout);
  while (wait_readable(listener.get())) {
    Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.get() >= 0) serve_client(client.get(), dir);
  }
  return 0;
}

}  // namespace jtag::sim
