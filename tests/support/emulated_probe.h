// Test support for the FTDI backend: an emulated FT2232H probe
// (`ftdi-emulator --daemon`, tests/ftdi_emulator) whose TAP is a board
// served over remote_bitbang.  Its clients find it through umockdev.
#ifndef JTAGBOX_TESTS_SUPPORT_EMULATED_PROBE_H
#define JTAGBOX_TESTS_SUPPORT_EMULATED_PROBE_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

inline constexpr const char *kProbeSerial = "JTAGBOX0";  // the serial the tests give it
inline constexpr unsigned kProbeTrstPin = 4;             // its TRST line: ADBUS4

// $JTAGBOX_FTDI_EMULATOR, else this build's ftdi-emulator.
std::filesystem::path ftdi_emulator_program();

class EmulatedProbe {
 public:
  EmulatedProbe() = default;
  ~EmulatedProbe() { stop(); }
  EmulatedProbe(const EmulatedProbe &) = delete;
  EmulatedProbe &operator=(const EmulatedProbe &) = delete;

  // `ftdi-emulator --daemon ARGS...` (ftdi_emulator_program()), its standard error to `err_file` (empty: the test's
  // own). False when it has not printed UMOCKDEV_DIR=... and READY within 30 s.
  bool start(const std::vector<std::string> &args, const std::filesystem::path &err_file = {});
  // SIGTERM, then its exit status, or -1 when none runs; one still there
  // after `limit` fails the test and is killed.
  int stop(std::chrono::milliseconds limit = 10s);
  // Pulls the emulated chips out (SIGUSR1): the clients' transfers end
  // with ENODEV, as when a probe's cable is pulled.  False when none runs.
  bool unplug();
  // The variables a client of the probe needs (umockdev's preload first).
  std::map<std::string, std::string> client_environment() const;

 private:
  pid_t pid_ = -1;
  int out_ = -1;  // its standard output, kept open so that it never writes into a closed pipe
  std::string umockdev_dir_;
};

}  // namespace e2e

#endif
