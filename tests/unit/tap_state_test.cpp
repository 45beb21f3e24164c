// The TAP controller: every transition of the diagram, a TMS path from every
// state to every state that arrives and has no shorter rival, and the names.
#include "base/tap_state.h"

#include <gtest/gtest.h>

namespace {

using jtag::TapState;
using S = TapState;

TEST(TapStateMachine, EveryTransitionAndEveryShortestPath) {
  const struct {
    TapState from, on0, on1;
  } rows[] = {
      {S::TestLogicReset, S::RunTestIdle, S::TestLogicReset},
      {S::RunTestIdle, S::RunTestIdle, S::SelectDRScan},
      {S::SelectDRScan, S::CaptureDR, S::SelectIRScan},
      {S::CaptureDR, S::ShiftDR, S::Exit1DR},
      {S::ShiftDR, S::ShiftDR, S::Exit1DR},
      {S::Exit1DR, S::PauseDR, S::UpdateDR},
      {S::PauseDR, S::PauseDR, S::Exit2DR},
      {S::Exit2DR, S::ShiftDR, S::UpdateDR},
      {S::UpdateDR, S::RunTestIdle, S::SelectDRScan},
      {S::SelectIRScan, S::CaptureIR, S::TestLogicReset},
      {S::CaptureIR, S::ShiftIR, S::Exit1IR},
      {S::ShiftIR, S::ShiftIR, S::Exit1IR},
      {S::Exit1IR, S::PauseIR, S::UpdateIR},
      {S::PauseIR, S::PauseIR, S::Exit2IR},
      {S::Exit2IR, S::ShiftIR, S::UpdateIR},
      {S::UpdateIR, S::RunTestIdle, S::SelectDRScan},
  };
  ASSERT_EQ(std::size(rows), size_t(jtag::kTapStateCount));
  for (const auto &r : rows) {
    EXPECT_EQ(jtag::next_state(r.from, false), r.on0) << jtag::state_name(r.from);
    EXPECT_EQ(jtag::next_state(r.from, true), r.on1) << jtag::state_name(r.from);
    EXPECT_EQ(jtag::state_from_name(jtag::state_name(r.from)), r.from);
  }
  EXPECT_FALSE(jtag::state_from_name("Shift-XR").has_value());
  for (int a = 0; a < jtag::kTapStateCount; ++a)
    for (int b = 0; b < jtag::kTapStateCount; ++b) {
      const auto from = static_cast<TapState>(a), to = static_cast<TapState>(b);
      const auto path = jtag::tms_path(from, to);
      // No shorter TMS sequence arrives (all of them are few enough to try).
      for (size_t len = 0; len < path.size(); ++len)
        for (unsigned bits = 0; bits < (1u << len); ++bits) {
          TapState t = from;
          for (size_t k = 0; k < len; ++k) t = jtag::next_state(t, (bits >> k) & 1u);
          EXPECT_NE(t, to) << a << "->" << b << " shorter than " << path.size();
        }
      TapState s = from;
      for (bool t : path) s = jtag::next_state(s, t);
      EXPECT_EQ(s, to) << a << "->" << b;
    }
}

}  // namespace
