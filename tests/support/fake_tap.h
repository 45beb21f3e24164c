// A fake backend's lines for tests on one TAP written from IEEE 1149.1 (its
// own state table, not the platform's): the IR captures 01; IDCODE is
// selected in Test-Logic-Reset and by its instruction, BYPASS by any
// other.  The TAP outlives the lines opened on it, as a board outlives a
// run; the lines can be told that its wire is gone.
#ifndef JTAGBOX_TESTS_SUPPORT_FAKE_TAP_H
#define JTAGBOX_TESTS_SUPPORT_FAKE_TAP_H

#include <cstdint>

#include "backends/backend.h"
#include "base/bits.h"
#include "base/error.h"
#include "base/tap_state.h"

namespace fake {

// The device a conformance case expects behind a backend.
struct TapModel {
  unsigned ir_length = 8;
  uint32_t idcode = 0x0bc0e06b;  // processor 0 of the simulated board
  uint64_t idcode_instruction = 0x02;
};

class FakeTap {
 public:
  explicit FakeTap(TapModel model = {}) : model_(model), instruction_(model.idcode_instruction), ir_(model.ir_length) {}

  // One TCK: TDO as presented before the rising edge, then the edge.
  // While TRST is asserted the TAP stays in Test-Logic-Reset.
  bool clock(bool tms, bool tdi);
  void set_trst(bool asserted);
  jtag::TapState state() const { return state_; }

 private:
  TapModel model_;
  jtag::TapState state_ = jtag::TapState::TestLogicReset;
  bool trst_ = false;
  uint64_t instruction_;
  jtag::BitVector ir_, dr_;
};

// A BackendLines on a FakeTap (`with_trst`: the backend has a TRST line),
// counting its TCKs; once the wire is cut every TCK, TRST change and the
// end of the run throw PlatformError.
class FakeBackendLines final : public jtag::BackendLines {
 public:
  explicit FakeBackendLines(FakeTap &tap, bool with_trst = true) : tap_(tap), with_trst_(with_trst) {}

  bool clock(bool tms, bool tdi) override {
    check_wire();
    ++clocks_;
    last_tms_ = tms;
    last_tdi_ = tdi;
    return tap_.clock(tms, tdi);
  }
  void finish() override { check_wire(); }
  bool has_trst() const override { return with_trst_; }
  void set_trst(bool asserted) override {
    if (!with_trst_) return BackendLines::set_trst(asserted);
    check_wire();
    tap_.set_trst(asserted);
  }

  void cut_wire() { gone_ = true; }
  uint64_t clocks() const { return clocks_; }
  bool last_tms() const { return last_tms_; }  // the levels of the last TCK
  bool last_tdi() const { return last_tdi_; }

 private:
  void check_wire() const {
    if (gone_) throw jtag::PlatformError("the fake wire is gone");
  }

  FakeTap &tap_;
  bool with_trst_;
  bool gone_ = false;
  uint64_t clocks_ = 0;
  bool last_tms_ = true, last_tdi_ = true;
};

}  // namespace fake

#endif
