// The platform core's TAP follower on the fake line driver: its picture of
// the controller and of the lines is the device's after every walk, shift
// and reset, and its observers see every TCK.
#include "platform/tap_follower.h"

#include <gtest/gtest.h>

#include "support/fake_tap.h"

namespace {

using jtag::BitVector;
using jtag::TapState;
using S = TapState;

struct Rig {
  fake::FakeTap tap;
  fake::FakeLineDriver lines{tap};
  jtag::TapFollower follower{lines, jtag::TapRecord{}};
};

// The fake's own controller agrees with the platform's table of the
// standard's diagram: two writings of it, each a check on the other.
TEST(FakeTap, ControllerAgreesWithTheStateTable) {
  for (int s = 0; s < jtag::kTapStateCount; ++s) {
    for (const bool tms : {false, true}) {
      fake::FakeTap tap;
      for (const bool step : jtag::tms_path(S::TestLogicReset, TapState(s))) tap.clock(step, true);
      ASSERT_EQ(tap.state(), TapState(s));
      tap.clock(tms, true);
      EXPECT_EQ(tap.state(), jtag::next_state(TapState(s), tms)) << jtag::state_name(TapState(s)) << " TMS " << tms;
    }
  }
}

TEST(TapFollower, WalksFromEveryStateToEveryStateArrive) {
  for (int from = 0; from < jtag::kTapStateCount; ++from) {
    for (int to = 0; to < jtag::kTapStateCount; ++to) {
      Rig r;
      r.follower.walk_to(TapState(from));
      const uint64_t before = r.lines.clocks();
      r.follower.walk_to(TapState(to));
      EXPECT_EQ(r.tap.state(), TapState(to))
          << jtag::state_name(TapState(from)) << " -> " << jtag::state_name(TapState(to));
      EXPECT_EQ(r.follower.record().state, TapState(to));
      EXPECT_EQ(r.lines.clocks() - before, jtag::tms_path(TapState(from), TapState(to)).size());
      EXPECT_EQ(r.follower.tck_count(), r.lines.clocks());
    }
  }
}

TEST(TapFollower, TckKeepsTdiAndRecordsTheLevels) {
  Rig r;
  r.follower.tck(false, false);
  r.follower.tck(true);
  EXPECT_FALSE(r.lines.last_tdi());
  EXPECT_TRUE(r.lines.last_tms());
  EXPECT_EQ(r.follower.record(), (jtag::TapRecord{S::SelectDRScan, true, false}));
  EXPECT_EQ(r.tap.state(), S::SelectDRScan);
}

TEST(TapFollower, ShiftEndsInExit1WithTheLastTdi) {
  for (const bool bulk : {false, true}) {
    Rig r;
    r.follower.walk_to(S::ShiftDR);
    BitVector in(40);
    for (size_t i = 0; i < in.size(); ++i) in.set(i, i % 5 == 1);
    const BitVector out = r.follower.shift(in, false, bulk);
    EXPECT_EQ(out.get_bits(0, 32), 0x0bc0e06bu);  // the device's IDCODE
    EXPECT_EQ(out.get_bits(32, 8), in.get_bits(0, 8));
    EXPECT_EQ(r.tap.state(), S::Exit1DR);
    EXPECT_EQ(r.follower.record(), (jtag::TapRecord{S::Exit1DR, true, in.get(39)}));
    EXPECT_EQ(r.lines.last_tdi(), in.get(39));
    EXPECT_EQ(r.follower.tck_count(), r.lines.clocks());
    EXPECT_TRUE(r.follower.shift(BitVector(), false, bulk).empty());
    EXPECT_EQ(r.tap.state(), S::Exit1DR);  // an empty shift gives no TCK
  }
}

// With recycling the last TDI is the TDO before it, not the last bit given.
TEST(TapFollower, RecycleLeavesTheRecycledTdi) {
  for (const size_t n : {1, 2, 33, 40}) {
    Rig r;
    r.follower.walk_to(S::ShiftDR);
    const BitVector in(n, true);
    const BitVector out = r.follower.shift(in, true, false);
    EXPECT_EQ(r.follower.record().tdi, r.lines.last_tdi()) << n;
    EXPECT_EQ(r.lines.last_tdi(), n == 1 ? true : out.get(n - 2)) << n;
    EXPECT_EQ(r.follower.record().state, S::Exit1DR);
  }
}

class Counter : public jtag::TapObserver {
 public:
  void tck(TapState before, bool tms, bool, std::optional<bool>) override {
    states.push_back(before);
    tms_high += tms ? 1 : 0;
  }
  void shift(TapState before, const BitVector &in, const BitVector &, bool) override {
    states.push_back(before);
    shifted += in.size();
  }
  void close() override {}
  std::vector<TapState> states;
  int tms_high = 0;
  size_t shifted = 0;
};

TEST(TapFollower, ResetFromAnywhereAndObserversSeeEveryTck) {
  Rig r;
  Counter seen;
  r.follower.add_observer(&seen);
  r.follower.walk_to(S::PauseIR);  // TMS 0,1,1,0,1,0
  r.follower.reset();
  EXPECT_EQ(r.tap.state(), S::TestLogicReset);
  EXPECT_EQ(r.follower.record().state, S::TestLogicReset);
  EXPECT_EQ(seen.states,
            (std::vector<TapState>{S::TestLogicReset, S::RunTestIdle, S::SelectDRScan, S::SelectIRScan, S::CaptureIR,
                                   S::Exit1IR, S::PauseIR, S::Exit2IR, S::UpdateIR, S::SelectDRScan, S::SelectIRScan}));
  EXPECT_EQ(seen.tms_high, 8);
  EXPECT_EQ(r.follower.tck_count(), 11u);
  EXPECT_EQ(r.lines.clocks(), 11u);
}

// TRST: the follower's picture goes to Test-Logic-Reset with the device's
// and stays there through TCKs while the line is held; a driver without the
// line refuses, and the picture does not move.
TEST(TapFollower, TrstResetsAndHoldsThePicture) {
  Rig r;
  r.follower.walk_to(S::PauseDR);
  ASSERT_TRUE(r.follower.has_trst());
  r.follower.set_trst(true);
  EXPECT_EQ(r.follower.record().state, S::TestLogicReset);
  r.follower.walk_to(S::ShiftIR);
  EXPECT_EQ(r.follower.record().state, S::TestLogicReset);
  EXPECT_EQ(r.tap.state(), S::TestLogicReset);
  r.follower.set_trst(false);
  r.follower.walk_to(S::ShiftIR);
  EXPECT_EQ(r.tap.state(), S::ShiftIR);
  EXPECT_EQ(r.follower.record().state, S::ShiftIR);

  fake::FakeTap tap;
  fake::FakeLineDriver no_line(tap, false);
  jtag::TapFollower follower(no_line, jtag::TapRecord{});
  follower.walk_to(S::PauseDR);
  EXPECT_FALSE(follower.has_trst());
  EXPECT_THROW(follower.set_trst(true), jtag::PlatformError);
  EXPECT_EQ(follower.record().state, S::PauseDR);
  EXPECT_EQ(tap.state(), S::PauseDR);
}

}  // namespace
