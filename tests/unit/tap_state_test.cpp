// The TAP controller: a TMS path from every state to every state that
// arrives and has no shorter rival, and the names.
#include "base/tap_state.h"

#include <gtest/gtest.h>

namespace {

using jtag::TapState;

// Every transition is checked against the fake TAP's own writing of the
// diagram (tap_follower_test.cpp, FakeTap.ControllerAgreesWithTheStateTable).
TEST(TapStateMachine, NamesAndEveryShortestPath) {
  for (int s = 0; s < jtag::kTapStateCount; ++s)
    EXPECT_EQ(jtag::state_from_name(jtag::state_name(TapState(s))), TapState(s));
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
