#include "sim/board_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace jtag::sim {
namespace fs = std::filesystem;

fs::path default_state_dir() {
  const char *xdg = std::getenv("XDG_STATE_HOME");
  if (xdg != nullptr && *xdg != '\0') return fs::path(xdg) / "jtag-sim";
  const char *home = std::getenv("HOME");
  if (home == nullptr || *home == '\0')
    throw SessionError("neither XDG_STATE_HOME nor HOME is set: no place for the simulated board");
  return fs::path(home) / ".local" / "state" / "jtag-sim";
}

fs::path sim_dir_for_platform(const char *value, bool &is_sim) {
  is_sim = true;
  if (value == nullptr || std::strcmp(value, "sim") == 0) return default_state_dir();
  if (std::strncmp(value, "sim:", 4) == 0 && value[4] != '\0') return fs::path(value + 4);
  is_sim = false;
  return {};
}

namespace {

std::string errno_text() { return std::strerror(errno); }

int take_lock(const fs::path &dir, const std::function<bool()> &give_up) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  const fs::path lock = dir / "lock";
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw SessionError("cannot open " + lock.string() + ": " + errno_text());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockWaitSeconds);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      ::close(fd);
      throw SessionError("cannot lock " + lock.string() + ": " + errno_text());
    }
    if (give_up && give_up()) {
      ::close(fd);
      throw SessionError("gave up waiting for the simulated board in " + dir.string());
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::close(fd);
      throw SessionError("the simulated board in " + dir.string() + " is busy: another process has held it for " +
                         std::to_string(kLockWaitSeconds) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return fd;
}

}  // namespace

BoardSession::Lock::Lock(const fs::path &dir, const std::function<bool()> &give_up) : fd_(take_lock(dir, give_up)) {}

BoardSession::Lock::~Lock() { ::close(fd_); }

BoardSession::BoardSession(fs::path dir, const std::function<bool()> &give_up)
    : dir_(std::move(dir)), lock_(dir_, give_up) {
  board_ = std::make_unique<Board>(dir_);
  const fs::path file = dir_ / "board.state";
  std::ifstream in(file, std::ios::binary);
  if (!in) return;  // never used: the board as powered up
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  const std::string header = std::string(kStateHeader) + "\n";
  try {
    if (all.compare(0, header.size(), header) != 0)
      throw StateError("it does not begin with '" + std::string(kStateHeader) + "'");
    StateMap state = StateMap::parse(all.substr(header.size()));
    board_->load(state);
    state.check_all_taken();
  } catch (const StateError &e) {
    throw SessionError("the simulated board state " + file.string() + " cannot be read (" + e.what() +
                       "); 'jtag-sim reset' powers the board up fresh");
  }
}

void BoardSession::save() {
  board_->persist_chains();  // before the state that refers to them
  StateMap state;
  board_->save(state);
  const std::string text = std::string(kStateHeader) + "\n" + state.serialize();
  const fs::path file = dir_ / "board.state";
  const fs::path tmp = dir_ / "board.state.tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw SessionError("cannot write " + tmp.string());
  }
  std::error_code ec;
  fs::rename(tmp, file, ec);
  if (ec) throw SessionError("cannot replace " + file.string() + ": " + ec.message());
}

void BoardSession::load_state(StateMap &state) {
  auto fresh = std::make_unique<Board>(dir_);
  fresh->load(state);
  state.check_all_taken();
  board_ = std::move(fresh);
}

void BoardSession::power_up_fresh() {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir_, ec))
    if (entry.path().filename() != "lock") fs::remove_all(entry.path(), ec);
  board_ = std::make_unique<Board>(dir_);
  save();
}

}  // namespace jtag::sim
