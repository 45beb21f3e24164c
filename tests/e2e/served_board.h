// The cases that test `jtag-sim serve` itself: each runs its own server on
// its own board.  They run once: in the suite's rerun over the wire the
// harness serves every board already, and these cases have nothing to add.
#ifndef JTAGBOX_TESTS_E2E_SERVED_BOARD_H
#define JTAGBOX_TESTS_E2E_SERVED_BOARD_H

#include <string>

#include "board_view.h"
#include "support/rbb_wire.h"

namespace e2e {

class ServedBoardTest : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    if (e2e::over_wire()) GTEST_SKIP() << "these cases run their own servers; the in-process suite has them";
  }
  void TearDown() override {
    stop();
    FreshBoardTest::TearDown();
  }

  // jtag-sim serve --port 0 on this test's board; its standard error goes
  // to serve.err.
  void serve() {
    port_ = serving_.start(env_["JTAG_PLATFORM"], path("serve.err"));
    ASSERT_NE(port_, 0) << "jtag-sim serve printed no port";
  }
  // SIGTERM; the exit status, -1 when no server runs.
  int stop() { return serving_.stop(); }
  std::string serve_err() const { return read_file(path("serve.err")); }
  std::string wire() const { return "rbb:127.0.0.1:" + std::to_string(port_); }
  Result over_wire(const std::string &command, const std::vector<std::string> &args) {
    return exec(bin(command), command, args, {{"JTAG_PLATFORM", wire()}});
  }

  ServeProcess serving_;
  int port_ = 0;
};

}  // namespace e2e

#endif
