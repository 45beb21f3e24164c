// What every line driver must do, run against each backend in the tree by
// name (rigs.h): single TCKs, shifts of every length up to a megabit on
// both paths and with recycling, TMS paths through all sixteen states, the
// reset, the end of a run and what it leaves on the board, and a board that
// goes away.  What TDO should be is worked out here from the device behind
// the driver (an IDCODE register of 32 bits, a BYPASS bit that captures 0,
// an instruction register that captures ...01), never read from a driver.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "base/error.h"
#include "base/tap_state.h"
#include "driver/rigs.h"

namespace {

using jtag::BitVector;
using jtag::TapState;
using S = TapState;

BitVector random_bits(size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  BitVector v(n);
  for (size_t i = 0; i < n; ++i) v.set(i, (rng() & 1u) != 0);
  return v;
}

BitVector ones(size_t n) { return BitVector(n, true); }

// TDO of `in.size()` TCKs through a register that captured `captured`:
// first what was captured, then TDI as it went in, |captured| TCKs later;
// with recycling, TDI after the first TCK is the TDO before it.
BitVector expected_shift(const BitVector &captured, const BitVector &in, bool recycle) {
  const size_t length = captured.size();
  BitVector out(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (i < length) {
      out.set(i, captured.get(i));
    } else {
      const size_t j = i - length;  // the TCK whose TDI comes out now
      out.set(i, recycle && j > 0 ? out.get(j - 1) : in.get(j));
    }
  }
  return out;
}

std::string diff(const BitVector &want, const BitVector &got) {
  if (want.size() != got.size())
    return "length " + std::to_string(got.size()) + ", want " + std::to_string(want.size());
  for (size_t i = 0; i < want.size(); ++i)
    if (want.get(i) != got.get(i)) return "first wrong bit " + std::to_string(i);
  return "same";
}

class DriverConformance : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    rig_ = conformance::make_rig(GetParam());
    d_ = rig_->open();
  }
  void TearDown() override {
    d_.reset();
    rig_.reset();
  }

  // Ends the run and opens the next on the same board.
  void next_run() {
    d_->finish();
    d_.reset();
    d_ = rig_->open();
  }

  // TMS along the shortest path; TDI high; nobody reads TDO.
  void walk(TapState from, TapState to) {
    for (bool tms : jtag::tms_path(from, to)) d_->pulse(tms, true);
  }

  BitVector idcode() const { return BitVector::from_u64(rig_->model().idcode, 32); }
  BitVector bypass() const { return BitVector(1); }

  // From Test-Logic-Reset to Run-Test/Idle with BYPASS the instruction,
  // checking what the instruction register captured.
  void load_bypass() {
    const unsigned ir = rig_->model().ir_length;
    walk(S::TestLogicReset, S::ShiftIR);
    const BitVector out = d_->shift_bits(ones(ir), false);
    EXPECT_EQ(out, BitVector::from_u64(0x1, ir)) << "Capture-IR: " << diff(BitVector::from_u64(0x1, ir), out);
    walk(S::Exit1IR, S::RunTestIdle);
  }

  std::unique_ptr<conformance::Rig> rig_;
  std::unique_ptr<jtag::LineDriver> d_;
};

// Single TCKs: the TMS levels walk the controller, TDO is the register's
// bit before each edge.
TEST_P(DriverConformance, ClocksReadIdcodeBitByBit) {
  d_->reset_tap(true);
  for (bool tms : {false, true, false, false}) d_->clock(tms, true);  // Run-Test/Idle .. Shift-DR
  const BitVector want = idcode();
  BitVector got(40);
  for (size_t i = 0; i < got.size(); ++i) got.set(i, d_->clock(i + 1 == got.size(), (i % 3) == 0));
  BitVector in(40);
  for (size_t i = 0; i < in.size(); ++i) in.set(i, (i % 3) == 0);
  EXPECT_EQ(got, expected_shift(want, in, false)) << diff(expected_shift(want, in, false), got);
  walk(S::Exit1DR, S::RunTestIdle);
  d_->finish();
}

// Every length that meets a byte or word boundary, up to a megabit, through
// BYPASS and through IDCODE, on both paths.
TEST_P(DriverConformance, ShiftsOfEveryLength) {
  const size_t lengths[] = {1, 7, 8, 9, 63, 64, 65, 1000, 4097, size_t{1} << 20};
  unsigned seed = 1;
  for (const bool through_bypass : {false, true}) {
    for (const bool bulk : {false, true}) {
      for (const size_t n : lengths) {
        d_->reset_tap(true);
        if (through_bypass) {
          load_bypass();
          walk(S::RunTestIdle, S::ShiftDR);
        } else {
          walk(S::TestLogicReset, S::ShiftDR);
        }
        const BitVector in = random_bits(n, seed++);
        const BitVector got = bulk ? d_->shift_bulk(in, false) : d_->shift_bits(in, false);
        const BitVector want = expected_shift(through_bypass ? bypass() : idcode(), in, false);
        EXPECT_EQ(got, want) << n << " bits, " << (through_bypass ? "BYPASS" : "IDCODE") << (bulk ? ", bulk" : "")
                             << ": " << diff(want, got);
        walk(S::Exit1DR, S::RunTestIdle);
      }
    }
  }
  d_->finish();
}

// Recycling: TDI is the TDO of the TCK before (a round trip per bit on the
// wire, so up to a few thousand bits).
TEST_P(DriverConformance, RecycledShifts) {
  unsigned seed = 100;
  for (const bool through_bypass : {false, true}) {
    for (const bool bulk : {false, true}) {
      for (const size_t n : {1, 2, 33, 34, 65, 1000, 4097}) {
        d_->reset_tap(true);
        if (through_bypass) load_bypass();
        walk(through_bypass ? S::RunTestIdle : S::TestLogicReset, S::ShiftDR);
        const BitVector in = random_bits(n, seed++);
        const BitVector got = bulk ? d_->shift_bulk(in, true) : d_->shift_bits(in, true);
        const BitVector want = expected_shift(through_bypass ? bypass() : idcode(), in, true);
        EXPECT_EQ(got, want) << n << " bits recycled, " << (through_bypass ? "BYPASS" : "IDCODE")
                             << (bulk ? ", bulk" : "") << ": " << diff(want, got);
        walk(S::Exit1DR, S::RunTestIdle);
      }
    }
  }
  d_->finish();
}

// A walk through all sixteen states: the instruction goes in over a pause
// (Pause-IR, Exit2-IR and back), the data register is shifted in two parts
// around Pause-DR, and only Test-Logic-Reset gives IDCODE back.
TEST_P(DriverConformance, TmsPathsThroughEveryState) {
  const unsigned ir = rig_->model().ir_length;
  d_->reset_tap(true);
  walk(S::TestLogicReset, S::ShiftIR);
  EXPECT_EQ(d_->shift_bits(ones(3), false), BitVector::from_u64(0x1, 3));  // ...01 captured; ends in Exit1-IR
  walk(S::Exit1IR, S::PauseIR);
  d_->pulse(false, true);        // stay in Pause-IR
  walk(S::PauseIR, S::ShiftIR);  // through Exit2-IR
  d_->shift_bits(ones(ir - 3), false);
  walk(S::Exit1IR, S::UpdateIR);
  walk(S::UpdateIR, S::ShiftDR);  // Select-DR, Capture-DR
  // BYPASS: the captured 0, then TDI one TCK late, across the pause.
  const BitVector first = random_bits(10, 7), second = random_bits(30, 8);
  const BitVector got1 = d_->shift_bits(first, false);
  walk(S::Exit1DR, S::PauseDR);
  walk(S::PauseDR, S::ShiftDR);  // through Exit2-DR
  const BitVector got2 = d_->shift_bits(second, false);
  BitVector in(40), got(40);
  in.copy_from(0, first, 0, 10);
  in.copy_from(10, second, 0, 30);
  got.copy_from(0, got1, 0, 10);
  got.copy_from(10, got2, 0, 30);
  EXPECT_EQ(got, expected_shift(bypass(), in, false)) << diff(expected_shift(bypass(), in, false), got);
  // Update-DR, Select-DR, Select-IR and Test-Logic-Reset: IDCODE again.
  walk(S::Exit1DR, S::UpdateDR);
  walk(S::UpdateDR, S::TestLogicReset);
  walk(S::TestLogicReset, S::ShiftDR);
  const BitVector zeros(32);
  EXPECT_EQ(d_->shift_bits(zeros, false), idcode());
  walk(S::Exit1DR, S::RunTestIdle);
  d_->finish();
}

// Five TCKs with TMS high reach Test-Logic-Reset from every state, so that
// IDCODE is selected again whatever the instruction was.
TEST_P(DriverConformance, ResetFromEveryState) {
  for (int s = 0; s < jtag::kTapStateCount; ++s) {
    const auto state = TapState(s);
    d_->reset_tap(true);
    load_bypass();
    walk(S::RunTestIdle, state);
    d_->reset_tap(s % 2 == 0);
    walk(S::TestLogicReset, S::ShiftDR);
    const BitVector got = d_->shift_bits(BitVector(32), false);
    EXPECT_EQ(got, idcode()) << "reset from " << jtag::state_name(state) << ": " << diff(idcode(), got);
    walk(S::Exit1DR, S::RunTestIdle);
  }
  d_->finish();
}

// A run that finished is on the board for the next one: the instruction it
// left is still there.
TEST_P(DriverConformance, FinishedRunStaysOnTheBoard) {
  d_->reset_tap(true);
  load_bypass();
  next_run();
  walk(S::RunTestIdle, S::ShiftDR);
  const BitVector in = random_bits(20, 3);
  EXPECT_EQ(d_->shift_bulk(in, false), expected_shift(bypass(), in, false));
  walk(S::Exit1DR, S::RunTestIdle);
  next_run();
  d_->reset_tap(true);
  walk(S::TestLogicReset, S::ShiftDR);
  EXPECT_EQ(d_->shift_bits(BitVector(32), false), idcode());
  walk(S::Exit1DR, S::RunTestIdle);
  d_->flush();
  d_->finish();
}

// TRST, on every driver in the tree (each has the line): asserted, the TAP
// is in Test-Logic-Reset at once and TCKs do not move it; released, it walks
// again from there.  Before it, BYPASS is the instruction and the TAP waits
// in Pause-DR, so IDCODE comes out only if TRST did reset the TAP and held
// it through the TCKs.
TEST_P(DriverConformance, TrstResetsAndHoldsTheTap) {
  if (GetParam().starts_with("xvc")) {  // XVC carries no TRST: the driver says so and refuses it
    EXPECT_FALSE(d_->has_trst());
    EXPECT_THROW(d_->set_trst(true), jtag::PlatformError);
    d_->finish();
    return;
  }
  ASSERT_TRUE(d_->has_trst());
  d_->reset_tap(true);
  load_bypass();
  walk(S::RunTestIdle, S::PauseDR);
  d_->set_trst(true);
  for (bool tms : {false, true, false, false}) d_->pulse(tms, true);  // would reach Shift-DR if not held
  d_->set_trst(false);
  walk(S::TestLogicReset, S::ShiftDR);
  const BitVector got = d_->shift_bits(BitVector(32), false);
  EXPECT_EQ(got, idcode()) << diff(idcode(), got);
  walk(S::Exit1DR, S::RunTestIdle);
  d_->finish();
}

// Deferred shifts, where a driver defers them: each one's TDO comes back
// to it, in the order queued, even with a read of one TCK between them
// (whose answer is its own, not a deferred shift's).  A driver that does
// not defer refuses to queue.
TEST_P(DriverConformance, DeferredShiftsComeBackInOrder) {
  if (!d_->defers_shifts()) {
    EXPECT_THROW(d_->queue_shift(BitVector(8)), jtag::PlatformError);
    d_->finish();
    return;
  }
  d_->reset_tap(true);
  walk(S::TestLogicReset, S::ShiftDR);
  std::vector<BitVector> ins;
  for (unsigned k = 0; k < 4; ++k) {
    ins.push_back(random_bits(40 + 300 * k, 50 + k));
    d_->queue_shift(ins.back());
    walk(S::Exit1DR, S::UpdateDR);
    walk(S::UpdateDR, S::ShiftDR);  // through Capture: IDCODE again
  }
  const bool first_idcode_bit = d_->clock(false, true);  // one TCK read in between
  EXPECT_EQ(first_idcode_bit, idcode().get(0));
  const BitVector last = random_bits(1000, 60);
  d_->queue_shift(last);
  for (unsigned k = 0; k < 4; ++k) {
    const BitVector got = d_->collect_shift();
    const BitVector want = expected_shift(idcode(), ins[k], false);
    EXPECT_EQ(got, want) << "shift " << k << ": " << diff(want, got);
  }
  // The register now holds IDCODE's bits 1..31, then the TDI of that TCK.
  BitVector rest(32);
  rest.copy_from(0, idcode(), 1, 31);
  rest.set(31, true);
  const BitVector want_last = expected_shift(rest, last, false);
  const BitVector got_last = d_->collect_shift();
  EXPECT_EQ(got_last, want_last) << diff(want_last, got_last);
  walk(S::Exit1DR, S::RunTestIdle);
  d_->finish();
}

INSTANTIATE_TEST_SUITE_P(Backends, DriverConformance, ::testing::ValuesIn(conformance::backends()),
                         [](const auto &param_info) { return param_info.param; });

// A board that goes away during a run: the driver says so with
// PlatformError at once (well within the wire's silence bound), never hangs.
class DriverLosesBoard : public DriverConformance {};

TEST_P(DriverLosesBoard, GoneBoardIsPlatformError) {
  d_->reset_tap(true);
  walk(S::TestLogicReset, S::ShiftDR);
  EXPECT_EQ(d_->shift_bits(BitVector(32), false), idcode());
  rig_->lose_board();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(
      {
        for (int i = 0; i < 1000; ++i) d_->clock(false, true);
        d_->shift_bulk(BitVector(1 << 16), false);
        d_->finish();
      },
      jtag::PlatformError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

INSTANTIATE_TEST_SUITE_P(Backends, DriverLosesBoard, ::testing::ValuesIn(conformance::losable_backends()),
                         [](const auto &param_info) { return param_info.param; });

}  // namespace
