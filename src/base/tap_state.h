// The IEEE 1149.1 TAP controller: sixteen states, moved on each rising TCK
// edge by the level of TMS.
#ifndef JTAGBOX_BASE_TAP_STATE_H
#define JTAGBOX_BASE_TAP_STATE_H

#include <optional>
#include <string_view>
#include <vector>

namespace jtag {

enum class TapState {
  TestLogicReset,
  RunTestIdle,
  SelectDRScan,
  CaptureDR,
  ShiftDR,
  Exit1DR,
  PauseDR,
  Exit2DR,
  UpdateDR,
  SelectIRScan,
  CaptureIR,
  ShiftIR,
  Exit1IR,
  PauseIR,
  Exit2IR,
  UpdateIR,
};

inline constexpr int kTapStateCount = 16;

// The state after one TCK with the given TMS level.
TapState next_state(TapState state, bool tms);

// The shortest TMS sequence from `from` to `to` (empty when they are equal).
std::vector<bool> tms_path(TapState from, TapState to);

// Names as the standard spells them: "Test-Logic-Reset", "Shift-DR", ...
std::string_view state_name(TapState state);
std::optional<TapState> state_from_name(std::string_view name);

// The TAP controller's state and the line levels last driven.  At power-up
// the controller is in Test-Logic-Reset and TMS and TDI rest high.
struct TapRecord {
  TapState state = TapState::TestLogicReset;
  bool tms = true;
  bool tdi = true;
  bool operator==(const TapRecord &) const = default;
};

}  // namespace jtag

#endif
