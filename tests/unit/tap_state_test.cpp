#include <gtest/gtest.h>

#include "platform/tap_state.h"

namespace {

using jtag::TapState;
using S = TapState;

TEST(TapStateMachine, EveryTransitionOfTheControllerDiagram) {
  struct Row {
    TapState from, on0, on1;
  };
  const Row rows[] = {
      {S::TestLogicReset, S::RunTestIdle, S::TestLogicReset}, {S::RunTestIdle, S::RunTestIdle, S::SelectDRScan},
      {S::SelectDRScan, S::CaptureDR, S::SelectIRScan},       {S::CaptureDR, S::ShiftDR, S::Exit1DR},
      {S::ShiftDR, S::ShiftDR, S::Exit1DR},                   {S::Exit1DR, S::PauseDR, S::UpdateDR},
      {S::PauseDR, S::PauseDR, S::Exit2DR},                   {S::Exit2DR, S::ShiftDR, S::UpdateDR},
      {S::UpdateDR, S::RunTestIdle, S::SelectDRScan},         {S::SelectIRScan, S::CaptureIR, S::TestLogicReset},
      {S::CaptureIR, S::ShiftIR, S::Exit1IR},                 {S::ShiftIR, S::ShiftIR, S::Exit1IR},
      {S::Exit1IR, S::PauseIR, S::UpdateIR},                  {S::PauseIR, S::PauseIR, S::Exit2IR},
      {S::Exit2IR, S::ShiftIR, S::UpdateIR},                  {S::UpdateIR, S::RunTestIdle, S::SelectDRScan},
  };
  ASSERT_EQ(std::size(rows), size_t(jtag::kTapStateCount));
  for (const Row &r : rows) {
    EXPECT_EQ(jtag::next_state(r.from, false), r.on0) << jtag::state_name(r.from);
    EXPECT_EQ(jtag::next_state(r.from, true), r.on1) << jtag::state_name(r.from);
  }
}

TEST(TapStateMachine, FiveTmsHighReachResetFromAnywhere) {
  for (int i = 0; i < jtag::kTapStateCount; ++i) {
    TapState s = static_cast<TapState>(i);
    for (int k = 0; k < 5; ++k) s = jtag::next_state(s, true);
    EXPECT_EQ(s, S::TestLogicReset) << i;
  }
}

TEST(TapStateMachine, PathsAreShortestAndArrive) {
  EXPECT_EQ(jtag::tms_path(S::RunTestIdle, S::SelectDRScan), std::vector<bool>{true});
  EXPECT_EQ(jtag::tms_path(S::RunTestIdle, S::SelectIRScan), (std::vector<bool>{true, true}));
  EXPECT_EQ(jtag::tms_path(S::SelectDRScan, S::SelectDRScan), std::vector<bool>{});
  EXPECT_EQ(jtag::tms_path(S::TestLogicReset, S::SelectDRScan), (std::vector<bool>{false, true}));
  EXPECT_EQ(jtag::tms_path(S::Exit1DR, S::SelectDRScan), (std::vector<bool>{true, true}));
  for (int a = 0; a < jtag::kTapStateCount; ++a)
    for (int b = 0; b < jtag::kTapStateCount; ++b) {
      TapState s = static_cast<TapState>(a);
      const auto path = jtag::tms_path(s, static_cast<TapState>(b));
      // No shorter TMS sequence arrives (all of them are few enough to try).
      for (size_t len = 0; len < path.size(); ++len)
        for (unsigned bits = 0; bits < (1u << len); ++bits) {
          TapState t = s;
          for (size_t k = 0; k < len; ++k) t = jtag::next_state(t, (bits >> k) & 1u);
          EXPECT_NE(t, static_cast<TapState>(b)) << a << "->" << b << " shorter than " << path.size();
        }
      for (bool t : path) s = jtag::next_state(s, t);
      EXPECT_EQ(s, static_cast<TapState>(b)) << a << "->" << b;
    }
}

TEST(TapStateMachine, NamesRoundTrip) {
  for (int i = 0; i < jtag::kTapStateCount; ++i) {
    const auto s = static_cast<TapState>(i);
    EXPECT_EQ(jtag::state_from_name(jtag::state_name(s)), s);
  }
  EXPECT_FALSE(jtag::state_from_name("Shift-XR").has_value());
}

}  // namespace
