// End-to-end test support: run the installed command links against a fresh
// simulated board in a temporary directory and look at everything they did.
#ifndef JTAGBOX_TESTS_SUPPORT_E2E_H
#define JTAGBOX_TESTS_SUPPORT_E2E_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/emulated_probe.h"
#include "support/rbb_wire.h"
#include "support/xvc_peer.h"

namespace e2e {

// The backend the commands reach each test's board through, by name:
// JTAGBOX_E2E_BACKEND, "sim" when unset.  "sim": the simulated board in the
// commands' own process (JTAG_PLATFORM=sim:DIR); "rbb": the same board
// served by `jtag-sim serve` and reached over remote_bitbang; "xvc": the
// same board served by `jtag-serve --xvc` and reached over XVC.
std::string backend();
// "xvcpeer": the same board served by `jtag-sim serve`, behind the tests'
// own XVC server (support/xvc_peer.h), reached with JTAG_PLATFORM=xvc.
// "ftdi": the same board served by `jtag-sim serve`, behind an emulated FTDI
// probe (support/emulated_probe.h) reached with JTAG_PLATFORM=ftdi.
bool over_wire();   // "rbb", "xvc" or "ftdi": the commands do not hold the board
bool over_probe();  // "ftdi"
// Whether the backend drives a TRST line (XVC carries none).
bool backend_has_trst();

// For a case that needs the simulated board in the commands' own process
// (scan-mode selection, FPGA registers, the scan-dump accelerator, faults,
// the board's file), or that serves its own board: such cases are left out
// of every other backend's run by name (tests/CMakeLists.txt,
// e2e_sim_only), so meeting one there is a mistake in that list.
#define JTAGBOX_SIM_ONLY()                                                                                         \
  do {                                                                                                             \
    if (e2e::backend() != "sim")                                                                                   \
      GTEST_FAIL() << "this case applies to the sim backend only; add it to e2e_sim_only in tests/CMakeLists.txt"; \
  } while (0)

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};

std::filesystem::path bin(const std::string &name);  // JTAGBOX_PREFIX/bin/name
std::string read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const std::string &text);
mode_t file_mode(const std::filesystem::path &path);  // permission bits
std::vector<std::string> split_lines(const std::string &text);

// Each test gets its own directory (the working directory of every run, with
// a strict umask), its own board (JTAG_PLATFORM=sim:<dir>/board), its own
// state home and trace file; over the wire, its own `jtag-sim serve`.
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs bin(command) with argv[0] = its full path.
  Result run(const std::string &command, const std::vector<std::string> &args = {});
  // The same with standard output going to `file` (Result::out stays empty).
  Result run_to(const std::filesystem::path &file, const std::string &command, const std::vector<std::string> &args);
  // Runs `program` with the given argv[0]; `env` adds or overrides variables
  // (an empty value removes one).  A run still going after 120 s is ended
  // by SIGALRM (status 142).
  Result exec(const std::filesystem::path &program, const std::string &argv0, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env = {});
  // jtag-sim with arguments; fails the test if it does not exit 0.
  std::string sim(const std::vector<std::string> &args);

  // The trace lines written since the last clear_trace().
  std::vector<std::string> trace();
  void clear_trace();

  std::filesystem::path path(const std::string &name) const { return dir_ / name; }
  std::map<std::string, std::string> env_;  // extra environment for every run

 private:
  // The board changed behind the adapter's back (jtag-sim reset or set):
  // bring the wire backend's record of TAP state and lines in step.
  void sync_wire_record();

  std::filesystem::path dir_;
  std::filesystem::path stdout_file_;  // set only within run_to
  // The port JTAG_PLATFORM names over a wire: the server's, or the test
  // XVC server's in front of it.
  int wire_port() const;

  ServeProcess server_;
  EmulatedProbe probe_;
  std::unique_ptr<XvcPeer> xvc_peer_;
  int runs_ = 0;
};

}  // namespace e2e

#endif
