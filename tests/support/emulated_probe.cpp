#include "support/emulated_probe.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "support/child_process.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The next line on `fd`, by `deadline`; false when none came whole.
bool next_line(int fd, Clock::time_point deadline, std::string &line) {
  line.clear();
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || ::poll(&p, 1, int(left)) <= 0 || ::read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
    if (line.size() > 4096) return false;
    line.push_back(c);
  }
}

}  // namespace

std::filesystem::path ftdi_emulator_program() {
  if (const char *p = std::getenv("JTAGBOX_FTDI_EMULATOR"); p != nullptr && *p != '\0') return p;
#ifdef JTAGBOX_FTDI_EMULATOR_PROGRAM
  return JTAGBOX_FTDI_EMULATOR_PROGRAM;
#else
  return "ftdi-emulator";
#endif
}

bool EmulatedProbe::start(const std::vector<std::string> &args, const std::filesystem::path &err_file) {
  std::vector<std::string> all = {"ftdi-emulator", "--daemon"};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = start_child(ftdi_emulator_program(), all, {}, err_file, out_);
  if (pid_ <= 0) return false;
  const auto deadline = Clock::now() + 30s;
  const std::string key = "UMOCKDEV_DIR=";
  std::string line;
  while (next_line(out_, deadline, line)) {
    if (line.rfind(key, 0) == 0) umockdev_dir_ = line.substr(key.size());
    if (line == "READY") return !umockdev_dir_.empty();
  }
  return false;
}

int EmulatedProbe::stop(std::chrono::milliseconds limit) {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  if (pid_ <= 0) return -1;
  const int status = stop_child(pid_, limit, "ftdi-emulator");
  pid_ = -1;
  return status;
}

bool EmulatedProbe::unplug() { return pid_ > 0 && ::kill(pid_, SIGUSR1) == 0; }

std::map<std::string, std::string> EmulatedProbe::client_environment() const {
  // An AddressSanitizer build wants its runtime first among the libraries
  // loaded; the preload comes first, and is harmless to it.
  const char *asan = std::getenv("ASAN_OPTIONS");
  std::string asan_options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string();
  asan_options += "verify_asan_link_order=0";
  return {{"LD_PRELOAD", "libumockdev-preload.so.0"}, {"UMOCKDEV_DIR", umockdev_dir_}, {"ASAN_OPTIONS", asan_options}};
}

}  // namespace e2e
