// A fake line driver for tests: one TAP written from IEEE 1149.1 (its own
// sixteen-state table, not the platform's), with an instruction register
// that captures 01, IDCODE (selected in Test-Logic-Reset and by its
// instruction) and BYPASS (all ones, and every instruction it does not
// know).  The TAP outlives the drivers opened on it, as a board outlives a
// run; a driver can be told that its wire is gone.
#ifndef JTAGBOX_TESTS_SUPPORT_FAKE_TAP_H
#define JTAGBOX_TESTS_SUPPORT_FAKE_TAP_H

#include <cstdint>
#include <memory>

#include "base/bits.h"
#include "base/tap_state.h"
#include "driver/line_driver.h"

namespace fake {

// The device a conformance case expects behind a driver.
struct TapModel {
  unsigned ir_length = 8;
  uint32_t idcode = 0x0bc0e06b;  // processor 0 of the simulated board
  uint64_t idcode_instruction = 0x02;
};

class FakeTap {
 public:
  explicit FakeTap(TapModel model = {});

  // One TCK: TDO as presented before the rising edge, then the edge.
  // While TRST is asserted the TAP stays in Test-Logic-Reset.
  bool clock(bool tms, bool tdi);
  void set_trst(bool asserted);
  jtag::TapState state() const { return state_; }
  uint64_t instruction() const { return instruction_; }
  const TapModel &model() const { return model_; }

 private:
  bool bypassed() const { return instruction_ != model_.idcode_instruction; }

  TapModel model_;
  jtag::TapState state_ = jtag::TapState::TestLogicReset;
  bool trst_ = false;
  uint64_t instruction_;
  jtag::BitVector ir_, dr_;
};

// A LineDriver on a FakeTap.  Counts what it is asked to do; once the wire
// is gone every TCK and the end of the run throw PlatformError.
class FakeLineDriver final : public jtag::LineDriver {
 public:
  // `with_trst`: the adapter has a TRST line.
  explicit FakeLineDriver(FakeTap &tap, bool with_trst = true) : tap_(tap), with_trst_(with_trst) {}

  bool clock(bool tms, bool tdi) override;
  void finish() override;
  bool has_trst() const override { return with_trst_; }
  void set_trst(bool asserted) override;

  void cut_wire() { gone_ = true; }
  uint64_t clocks() const { return clocks_; }
  // The levels of the last TCK.
  bool last_tms() const { return last_tms_; }
  bool last_tdi() const { return last_tdi_; }
  int finishes() const { return finishes_; }

 private:
  FakeTap &tap_;
  bool with_trst_;
  bool gone_ = false;
  uint64_t clocks_ = 0;
  bool last_tms_ = true, last_tdi_ = true;
  int finishes_ = 0;
};

}  // namespace fake

#endif
