// The TAP states as SVF (Serial Vector Format) names them, and which of them
// an SVF statement may end in: the words the SVF recorder writes
// (recorders/svf_writer.h) and the SVF player reads (tools/svf_statement.h).
#ifndef JTAGBOX_SVF_SVF_STATES_H
#define JTAGBOX_SVF_SVF_STATES_H

#include <optional>
#include <string_view>

#include "base/tap_state.h"

namespace jtag {

// SVF's names of the TAP states: RESET, IDLE, DRSELECT, ...
std::string_view svf_state_name(TapState state);
std::optional<TapState> svf_state_from_name(std::string_view name);
// The states SVF ends its statements in: RESET, IDLE, DRPAUSE, IRPAUSE.
bool svf_stable(TapState state);
// The stable state that stands for one that is not: Select-xR, Capture-xR
// and Update-xR (Run-Test/Idle is a TCK away) as IDLE; Shift-xR, Exit1-xR and
// Exit2-xR (the scan goes on from there) as the pause state of their column.
TapState svf_nearest_stable(TapState state);

}  // namespace jtag

#endif
