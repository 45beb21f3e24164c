// What the backend a run drives says about itself, for the tools that
// report on the chain (jtag-detect): a probe's chip and the TCK it runs at.
#ifndef JTAGBOX_PLATFORM_BACKEND_DESCRIPTION_H
#define JTAGBOX_PLATFORM_BACKEND_DESCRIPTION_H

#include <optional>
#include <string>

namespace jtag {

// One line without its newline, or empty when the backend has nothing to
// add to what JTAG_PLATFORM says.  Opens the run's session if it is not.
std::string backend_description();
// The scan-mode word the FPGA routes the chain by, where the backend has
// the board's services (JTAG_read_scan_control_reg, traced as such); none
// on a backend without them, where asking would end the run.
std::optional<unsigned> routed_scan_mode();
// TCK at `hz` or the nearest rate below it the backend makes: the rate
// taken, or none where the backend's TCK cannot be set.
std::optional<double> set_tck_hz(double hz);

}  // namespace jtag

#endif
