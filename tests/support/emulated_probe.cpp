#include "support/emulated_probe.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "support/child_process.h"

namespace e2e {

std::filesystem::path ftdi_emulator_program() {
  const char *program = std::getenv("JTAGBOX_FTDI_EMULATOR");
#ifdef JTAGBOX_FTDI_EMULATOR_PROGRAM
  if (program == nullptr || *program == '\0') program = JTAGBOX_FTDI_EMULATOR_PROGRAM;
#endif
  return program != nullptr && *program != '\0' ? program : "ftdi-emulator";
}

bool EmulatedProbe::start(const std::vector<std::string> &args, const std::filesystem::path &err_file) {
  std::vector<std::string> all = {"ftdi-emulator", "--daemon"};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = start_child(ftdi_emulator_program(), all, {}, err_file, out_);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  const std::string key = "UMOCKDEV_DIR=";
  for (std::string line; pid_ > 0 && read_line(out_, deadline, line);) {
    if (line.rfind(key, 0) == 0) umockdev_dir_ = line.substr(key.size());
    if (line == "READY") return !umockdev_dir_.empty();
  }
  return false;
}

int EmulatedProbe::stop(std::chrono::milliseconds limit) {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  const int status = pid_ > 0 ? stop_child(pid_, limit, "ftdi-emulator") : -1;
  pid_ = -1;
  return status;
}

bool EmulatedProbe::unplug() { return pid_ > 0 && ::kill(pid_, SIGUSR1) == 0; }

std::map<std::string, std::string> EmulatedProbe::client_environment() const {
  // An AddressSanitizer build wants its runtime first among the libraries
  // loaded; the preload comes first, and is harmless to it.
  const char *asan = std::getenv("ASAN_OPTIONS");
  const std::string before = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
  return {{"LD_PRELOAD", "libumockdev-preload.so.0"},
          {"UMOCKDEV_DIR", umockdev_dir_},
          {"ASAN_OPTIONS", before + "verify_asan_link_order=0"}};
}

}  // namespace e2e
