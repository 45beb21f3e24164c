// End-to-end test support: the installed command links run against a fresh
// simulated board in a temporary directory, and everything they did.
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

// The backend the commands reach each test's board through: JTAGBOX_E2E_BACKEND,
// "sim" when unset.  sim: the board in the commands' own process; rbb: served by
// `jtag-sim serve`; xvc: served by `jtag-serve --xvc`; xvcpeer: `jtag-sim serve`
// behind the tests' own XVC server; ftdi: `jtag-sim serve` behind an emulated probe.
std::string backend();
bool over_wire();         // any but sim: the commands do not hold the board
bool over_probe();        // ftdi
bool backend_has_trst();  // XVC carries no TRST line

// For a case that needs the board in the commands' own process, or serves
// its own: tests/CMakeLists.txt (e2e_sim_only) leaves it out of every other
// backend's run, so meeting one there is a mistake in that list.
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
// a strict umask), board (JTAG_PLATFORM=sim:<dir>/board), state home and
// trace file; over a wire, its own servers.
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // bin(command) with argv[0] its full path.
  Result run(const std::string &command, const std::vector<std::string> &args = {});
  // The same with standard output going to `file` (Result::out stays empty).
  Result run_to(const std::filesystem::path &file, const std::string &command, const std::vector<std::string> &args);
  // `program` with argv[0]; `env` adds or overrides variables (an empty value
  // removes one).  A run still going after 120 s ends by SIGALRM (status 142).
  Result exec(const std::filesystem::path &program, const std::string &argv0, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env = {});
  // jtag-sim with arguments; fails the test unless it exits 0.
  std::string sim(const std::vector<std::string> &args);

  std::vector<std::string> trace();  // the trace lines since the last clear_trace()
  void clear_trace();

  std::filesystem::path path(const std::string &name) const { return dir_ / name; }
  std::map<std::string, std::string> env_;  // extra environment for every run

 private:
  // The board changed behind the adapter's back (jtag-sim reset or set):
  // the wire backend's record of TAP state and lines is brought in step.
  void sync_wire_record();
  int wire_port() const;  // the port JTAG_PLATFORM names over a wire

  std::filesystem::path dir_;
  std::filesystem::path stdout_file_;  // set only within run_to
  ServeProcess server_;
  EmulatedProbe probe_;
  std::unique_ptr<XvcPeer> xvc_peer_;
  int runs_ = 0;
};

}  // namespace e2e

#endif
