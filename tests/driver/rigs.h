// The backends the driver conformance table runs against, by name: each rig
// gives fresh runs (line drivers) on one board of its own, and says what
// device sits behind them.  The expected TDO comes from that device
// (fake::TapModel), never from the driver under test.
#ifndef JTAGBOX_TESTS_DRIVER_RIGS_H
#define JTAGBOX_TESTS_DRIVER_RIGS_H

#include <memory>
#include <string>
#include <vector>

#include "driver/line_driver.h"
#include "support/fake_tap.h"

namespace conformance {

class Rig {
 public:
  virtual ~Rig() = default;
  // The device at the board's power-up: processor 0 of the simulated board.
  fake::TapModel model() const { return {}; }
  // A new run on the board; the run before must be over (destroyed).
  virtual std::unique_ptr<jtag::LineDriver> open() = 0;
  // The board goes away under the open run (the rigs that can say so).
  virtual void lose_board() = 0;
};

// "fake", and "sim" and "rbb" in a build with the simulated board.
std::vector<std::string> backends();
// Those whose board can go away during a run.
std::vector<std::string> losable_backends();
std::unique_ptr<Rig> make_rig(const std::string &backend);

}  // namespace conformance

#endif
