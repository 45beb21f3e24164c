// What the adapter a run drives says about itself, for the tools that
// report on the chain (jtag-detect): a probe's chip and the TCK it runs at.
#ifndef JTAGBOX_PLATFORM_ADAPTER_H
#define JTAGBOX_PLATFORM_ADAPTER_H

#include <string>

namespace jtag {

// One line without its newline, or empty when the backend has nothing to
// add to what JTAG_PLATFORM says.  Opens the run's session if it is not.
std::string adapter_description();

}  // namespace jtag

#endif
