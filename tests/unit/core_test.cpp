// The TAP table and paths against the fake TAP's own writing of the IEEE
// 1149.1 diagram; the TAP follower on that fake; STATE's default paths as the
// SVF standard's table lists them.
#include <gtest/gtest.h>

#include "platform/tap_follower.h"
#include "recorders/svf_writer.h"
#include "support/fake_tap.h"
#include "svf/svf_states.h"
#include "tools/svf_player.h"

namespace {

using jtag::BitVector;
using S = jtag::TapState;

fake::FakeTap tap_in(S state) {
  fake::FakeTap tap;
  for (const bool tms : jtag::tms_path(S::TestLogicReset, state)) tap.clock(tms, true);
  return tap;
}

// Every transition of the table and every path from every state to every state.
TEST(TapState, TableAndPathsAgreeWithTheDiagram) {
  for (int a = 0; a < jtag::kTapStateCount; ++a) {
    for (const bool tms : {false, true}) {
      fake::FakeTap tap = tap_in(S(a));
      tap.clock(tms, true);
      EXPECT_EQ(tap.state(), jtag::next_state(S(a), tms)) << jtag::state_name(S(a)) << " TMS " << tms;
    }
    for (int b = 0; b < jtag::kTapStateCount; ++b) {
      fake::FakeTap tap = tap_in(S(a));
      for (const bool tms : jtag::tms_path(S(a), S(b))) tap.clock(tms, true);
      EXPECT_EQ(tap.state(), S(b)) << jtag::state_name(S(a)) << " to " << jtag::state_name(S(b));
    }
  }
}

class Seen final : public jtag::TapObserver {
 public:
  void tck(S before, bool, bool, std::optional<bool>) override { states.push_back(before); }
  void shift(S, const BitVector &, const BitVector &, bool) override {}
  void close() override {}
  std::vector<S> states;
};

// Observers see every TCK of a walk and each of the five TMS-high TCKs of a
// reset; a recycled shift leaves the TDO before its last TCK as the TDI.
TEST(TapFollower, ObserversSeeEveryTckAndTheLastTdiIsKept) {
  fake::FakeTap tap;
  fake::FakeBackendLines lines(tap);
  jtag::TapFollower f(lines, jtag::TapRecord{});
  Seen seen;
  f.add_observer(&seen);
  f.walk_to(S::PauseIR);  // TMS 0,1,1,0,1,0
  f.reset();
  EXPECT_EQ(seen.states,
            (std::vector<S>{S::TestLogicReset, S::RunTestIdle, S::SelectDRScan, S::SelectIRScan, S::CaptureIR,
                            S::Exit1IR, S::PauseIR, S::Exit2IR, S::UpdateIR, S::SelectDRScan, S::SelectIRScan}));
  EXPECT_EQ(tap.state(), S::TestLogicReset);
  f.walk_to(S::ShiftDR);
  EXPECT_EQ(f.shift(BitVector(33, true), true, false).get_bits(0, 32), 0x0bc0e06bU);
  EXPECT_EQ(f.record(), (jtag::TapRecord{S::Exit1DR, true, false}));  // IDCODE's bit 31
  EXPECT_FALSE(lines.last_tdi());
}

TEST(SvfDefaultPath, EveryStableStateToEveryOtherAsTheTableSays) {
  const char *const rows[][3] = {
      {"RESET", "RESET", ""},
      {"RESET", "IDLE", " IDLE"},
      {"RESET", "DRPAUSE", " IDLE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
      {"RESET", "IRPAUSE", " IDLE DRSELECT IRSELECT IRCAPTURE IREXIT1 IRPAUSE"},
      {"IDLE", "RESET", " DRSELECT IRSELECT RESET"},
      {"IDLE", "IDLE", ""},
      {"IDLE", "DRPAUSE", " DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
      {"IDLE", "IRPAUSE", " DRSELECT IRSELECT IRCAPTURE IREXIT1 IRPAUSE"},
      {"DRPAUSE", "RESET", " DREXIT2 DRUPDATE DRSELECT IRSELECT RESET"},
      {"DRPAUSE", "IDLE", " DREXIT2 DRUPDATE IDLE"},
      {"DRPAUSE", "DRPAUSE", " DREXIT2 DRUPDATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
      {"DRPAUSE", "IRPAUSE", " DREXIT2 DRUPDATE DRSELECT IRSELECT IRCAPTURE IREXIT1 IRPAUSE"},
      {"IRPAUSE", "RESET", " IREXIT2 IRUPDATE DRSELECT IRSELECT RESET"},
      {"IRPAUSE", "IDLE", " IREXIT2 IRUPDATE IDLE"},
      {"IRPAUSE", "DRPAUSE", " IREXIT2 IRUPDATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
      {"IRPAUSE", "IRPAUSE", " IREXIT2 IRUPDATE DRSELECT IRSELECT IRCAPTURE IREXIT1 IRPAUSE"},
  };
  for (const auto &row : rows) {
    const auto from = jtag::svf_state_from_name(row[0]), to = jtag::svf_state_from_name(row[1]);
    ASSERT_TRUE(from && to) << row[0] << " " << row[1];
    std::string walked;
    S at = *from;
    for (const bool tms : jtag::tools::svf_default_path(*from, *to))
      walked += " " + std::string(jtag::svf_state_name(at = jtag::next_state(at, tms)));
    EXPECT_EQ(walked, row[2]) << row[0] << " to " << row[1];
  }
}

}  // namespace
