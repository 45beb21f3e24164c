#include "platform/rbb_backend.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace jtag {
namespace {

namespace fs = std::filesystem;

constexpr const char *kStateHeader = "jtagbox rbb state 1";
constexpr size_t kBitsPerBatch = 1 << 16;

char tck_byte(bool tck, bool tms, bool tdi) { return char('0' + (tck ? 4 : 0) + (tms ? 2 : 0) + (tdi ? 1 : 0)); }

fs::path state_file_for(const std::string &host, const std::string &port) {
  fs::path base;
  if (const char *xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg != '\0')
    base = fs::path(xdg) / "jtagbox";
  else if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0')
    base = fs::path(home) / ".local" / "state" / "jtagbox";
  else
    base = fs::temp_directory_path() / "jtagbox";
  std::string name = "rbb-" + host + "-" + port + ".state";
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  return base / name;
}

class RbbBackend final : public Backend {
 public:
  RbbBackend(std::string host, std::string port)
      : host_(std::move(host)), port_(std::move(port)), state_file_(state_file_for(host_, port_)) {
    load_state();
    connect_to_server();
  }

  ~RbbBackend() override {
    if (failed_) return;
    closing_ = true;
    pending_.push_back('Q');  // the server saves the board and lets it go at once
    send_pending();
    ::close(fd_);
    save_state();
  }

  bool clock(bool tms, bool tdi) override {
    queue_tck(tms, tdi, true);
    return exchange(1).get(0);
  }

  void pulse(bool tms, bool tdi) override {
    queue_tck(tms, tdi, false);
    if (pending_.size() >= kBitsPerBatch) send_pending();
  }

  BitVector shift_bits(const BitVector &in, bool recycle) override {
    if (recycle) return Backend::shift_bits(in, true);  // each TDI waits for the TDO before it
    return shift_pipelined(in);
  }
  BitVector shift_bulk(const BitVector &in, bool recycle) override { return shift_bits(in, recycle); }

  TapState tap_state() override { return state_; }
  bool tms_level() override { return tms_; }
  bool tdi_level() override { return tdi_; }

  void select_scan_mode(unsigned) override { cannot_carry("scan-mode selection"); }
  unsigned scan_control() override { cannot_carry("the scan control register"); }
  uint8_t fpga_read(uint32_t) override { cannot_carry("FPGA registers"); }
  void fpga_write(uint32_t, uint8_t) override { cannot_carry("FPGA registers"); }
  bool set_scan_dump_accelerator(bool) override { cannot_carry("the scan-dump accelerator"); }

 private:
  std::string where() const { return host_ + ":" + port_; }

  [[noreturn]] void fail(const std::string &what) {
    failed_ = true;
    std::fprintf(stderr, "jtagbox: remote_bitbang server %s: %s\n", where().c_str(), what.c_str());
    std::fflush(stderr);
    if (closing_) {  // already on the way out: exit() may not run twice
      std::fflush(stdout);
      _exit(1);
    }
    std::exit(1);
  }
  // The wire is fine: what was queued still goes out, and the record stays.
  [[noreturn]] void cannot_carry(const char *what) {
    std::fprintf(stderr, "jtagbox: %s cannot be reached over remote_bitbang (JTAG_PLATFORM=rbb:%s)\n", what,
                 where().c_str());
    std::fflush(stderr);
    std::exit(1);
  }

  // One TCK: TCK low with the levels, the TDO read if wanted, the rising edge.
  void queue_tck(bool tms, bool tdi, bool read) {
    pending_.push_back(tck_byte(false, tms, tdi));
    if (read) pending_.push_back('R');
    pending_.push_back(tck_byte(true, tms, tdi));
    state_ = next_state(state_, tms);
    tms_ = tms;
    tdi_ = tdi;
  }

  // Shift-xR for in.size() cycles, TMS 1 on the last: the bytes go out in
  // batches while the answers come back, never waiting on one.
  BitVector shift_pipelined(const BitVector &in) {
    const size_t n = in.size();
    BitVector out(n);
    size_t queued = 0;
    size_t answered = 0;
    std::string sending = std::move(pending_);
    pending_.clear();
    size_t sent = 0;
    while (answered < n) {
      if (sent == sending.size() && queued < n) {
        sending.clear();
        sent = 0;
        const size_t end = std::min(n, queued + kBitsPerBatch);
        for (; queued < end; ++queued) queue_tck(queued + 1 == n, in.get(queued), true);
        sending.swap(pending_);
      }
      pump(sending, sent, [&](char answer) { out.set(answered++, answer == '1'); });
    }
    if (sent < sending.size()) pending_.insert(0, sending, sent);
    return out;
  }

  // Sends what is queued and reads `count` answers.
  BitVector exchange(size_t count) {
    BitVector out(count);
    std::string sending = std::move(pending_);
    pending_.clear();
    size_t sent = 0, answered = 0;
    while (answered < count) pump(sending, sent, [&](char answer) { out.set(answered++, answer == '1'); });
    while (sent < sending.size()) pump(sending, sent, [&](char) { fail("answered a TDO read nobody asked for"); });
    return out;
  }

  void send_pending() {
    size_t sent = 0;
    while (sent < pending_.size()) pump(pending_, sent, [&](char) { fail("answered a TDO read nobody asked for"); });
    pending_.clear();
  }

  // One round of the socket: writes what it can, hands over what came.
  template <typename OnAnswer>
  void pump(const std::string &sending, size_t &sent, OnAnswer on_answer) {
    pollfd p{fd_, short(POLLIN | (sent < sending.size() ? POLLOUT : 0)), 0};
    const int r = ::poll(&p, 1, kRbbTimeoutSeconds * 1000);
    if (r == 0) fail("no answer within " + std::to_string(kRbbTimeoutSeconds) + " s");
    if (r < 0) {
      if (errno == EINTR) return;
      fail(std::string("poll: ") + std::strerror(errno));
    }
    if (p.revents & POLLIN) {
      char buf[1 << 16];
      const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
      if (got == 0 || (got < 0 && errno == ECONNRESET)) fail("closed the connection");
      if (got < 0 && errno != EAGAIN && errno != EINTR) fail(std::string("read: ") + std::strerror(errno));
      for (ssize_t i = 0; i < got; ++i) {
        if (buf[i] != '0' && buf[i] != '1') {
          char text[64];
          std::snprintf(text, sizeof text, "answered 0x%02x to a TDO read", unsigned(static_cast<unsigned char>(buf[i])));
          fail(text);
        }
        on_answer(buf[i]);
      }
    } else if (p.revents & (POLLERR | POLLHUP)) {
      fail("closed the connection");
    }
    if ((p.revents & POLLOUT) && sent < sending.size()) {
      const ssize_t put = ::send(fd_, sending.data() + sent, sending.size() - sent, MSG_NOSIGNAL);
      if (put < 0 && (errno == EPIPE || errno == ECONNRESET)) fail("closed the connection");
      if (put < 0 && errno != EAGAIN && errno != EINTR) fail(std::string("write: ") + std::strerror(errno));
      if (put > 0) sent += size_t(put);
    }
  }

  void connect_to_server() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int e = ::getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found); e != 0)
      fail(std::string("cannot resolve: ") + ::gai_strerror(e));
    std::string error = "no address";
    for (addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (fd < 0) continue;
      if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
        fd_ = fd;
      } else {
        error = std::strerror(errno);
        ::close(fd);
      }
    }
    ::freeaddrinfo(found);
    if (fd_ < 0) fail("cannot connect: " + error);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }

  void load_state() {
    std::ifstream in(state_file_);
    std::string header, line;
    if (!in || !std::getline(in, header) || header != kStateHeader) return;  // as after power-up
    while (std::getline(in, line)) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (key == "tap") {
        if (const auto s = state_from_name(value)) state_ = *s;
      } else if (key == "tms") {
        tms_ = value == "1";
      } else if (key == "tdi") {
        tdi_ = value == "1";
      }
    }
  }

  void save_state() const {
    std::error_code ec;
    fs::create_directories(state_file_.parent_path(), ec);
    const fs::path tmp = state_file_.string() + ".tmp";
    {
      std::ofstream out(tmp, std::ios::trunc);
      out << kStateHeader << "\ntap=" << state_name(state_) << "\ntms=" << tms_ << "\ntdi=" << tdi_ << "\n";
    }
    fs::rename(tmp, state_file_, ec);
  }

  std::string host_, port_;
  fs::path state_file_;
  int fd_ = -1;
  std::string pending_;  // bytes queued, not sent yet
  TapState state_ = TapState::TestLogicReset;
  bool tms_ = true;
  bool tdi_ = true;
  bool failed_ = false;
  bool closing_ = false;  // the process is ending: the last bytes go out
};

}  // namespace

std::unique_ptr<Backend> make_rbb_backend(const std::string &host_and_port) {
  const auto colon = host_and_port.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == host_and_port.size()) {
    std::fprintf(stderr, "jtagbox: JTAG_PLATFORM=rbb:%s is not rbb:HOST:PORT\n", host_and_port.c_str());
    std::exit(1);
  }
  return std::make_unique<RbbBackend>(host_and_port.substr(0, colon), host_and_port.substr(colon + 1));
}

}  // namespace jtag
