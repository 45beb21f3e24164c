#include "svf/svf_states.h"

#include <array>
#include <cstddef>

namespace jtag {
namespace {

using S = TapState;

constexpr std::array<std::string_view, kTapStateCount> kSvfNames = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
};

}  // namespace

std::string_view svf_state_name(TapState state) { return kSvfNames[static_cast<size_t>(state)]; }

std::optional<TapState> svf_state_from_name(std::string_view name) {
  for (size_t i = 0; i < kSvfNames.size(); ++i)
    if (kSvfNames[i] == name) return static_cast<TapState>(i);
  return std::nullopt;
}

bool svf_stable(TapState state) {
  return state == S::TestLogicReset || state == S::RunTestIdle || state == S::PauseDR || state == S::PauseIR;
}

TapState svf_nearest_stable(TapState state) {
  switch (state) {
    case S::TestLogicReset: return S::TestLogicReset;
    case S::ShiftDR:
    case S::Exit1DR:
    case S::PauseDR:
    case S::Exit2DR: return S::PauseDR;
    case S::ShiftIR:
    case S::Exit1IR:
    case S::PauseIR:
    case S::Exit2IR: return S::PauseIR;
    default: return S::RunTestIdle;
  }
}

}  // namespace jtag
