#include "base/tap_state.h"

#include <array>
#include <deque>

namespace jtag {
namespace {

struct StateInfo {
  std::string_view name;
  TapState on_tms0;
  TapState on_tms1;
};

using S = TapState;

// Indexed by TapState; straight from the controller diagram.
constexpr std::array<StateInfo, kTapStateCount> kStates = {{
    {"Test-Logic-Reset", S::RunTestIdle, S::TestLogicReset},
    {"Run-Test/Idle", S::RunTestIdle, S::SelectDRScan},
    {"Select-DR-Scan", S::CaptureDR, S::SelectIRScan},
    {"Capture-DR", S::ShiftDR, S::Exit1DR},
    {"Shift-DR", S::ShiftDR, S::Exit1DR},
    {"Exit1-DR", S::PauseDR, S::UpdateDR},
    {"Pause-DR", S::PauseDR, S::Exit2DR},
    {"Exit2-DR", S::ShiftDR, S::UpdateDR},
    {"Update-DR", S::RunTestIdle, S::SelectDRScan},
    {"Select-IR-Scan", S::CaptureIR, S::TestLogicReset},
    {"Capture-IR", S::ShiftIR, S::Exit1IR},
    {"Shift-IR", S::ShiftIR, S::Exit1IR},
    {"Exit1-IR", S::PauseIR, S::UpdateIR},
    {"Pause-IR", S::PauseIR, S::Exit2IR},
    {"Exit2-IR", S::ShiftIR, S::UpdateIR},
    {"Update-IR", S::RunTestIdle, S::SelectDRScan},
}};

const StateInfo &info(TapState s) { return kStates[static_cast<size_t>(s)]; }

}  // namespace

TapState next_state(TapState state, bool tms) { return tms ? info(state).on_tms1 : info(state).on_tms0; }

std::vector<bool> tms_path(TapState from, TapState to) {
  // Breadth-first search over a 16-node graph: cheap, and obviously shortest.
  std::array<int, kTapStateCount> parent{};
  std::array<bool, kTapStateCount> via_tms{};
  parent.fill(-1);
  const auto start = static_cast<int>(from);
  parent[start] = start;
  std::deque<int> queue{start};
  while (!queue.empty()) {
    const int s = queue.front();
    queue.pop_front();
    if (s == static_cast<int>(to)) break;
    for (bool tms : {false, true}) {
      const auto n = static_cast<int>(next_state(static_cast<TapState>(s), tms));
      if (parent[n] < 0) {
        parent[n] = s;
        via_tms[n] = tms;
        queue.push_back(n);
      }
    }
  }
  std::vector<bool> path;
  for (int s = static_cast<int>(to); s != start; s = parent[s]) path.insert(path.begin(), via_tms[s]);
  return path;
}

std::string_view state_name(TapState state) { return info(state).name; }

std::optional<TapState> state_from_name(std::string_view name) {
  for (int i = 0; i < kTapStateCount; ++i)
    if (kStates[i].name == name) return static_cast<TapState>(i);
  return std::nullopt;
}

}  // namespace jtag
