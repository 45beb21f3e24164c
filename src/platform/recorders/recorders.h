// The recorders a process runs, chosen by the environment at the first
// platform operation:
//   JTAG_WAVE=FILE  every TCK as a Value Change Dump (wave_recorder.h)
//   JTAG_SVF=FILE   SVF statements appended for what the process did
//                   (svf_recorder.h)
// An empty value is the same as none.
#ifndef JTAGBOX_PLATFORM_RECORDERS_RECORDERS_H
#define JTAGBOX_PLATFORM_RECORDERS_RECORDERS_H

#include <memory>
#include <vector>

#include "platform/tap_observer.h"

namespace jtag {

// Throws PlatformError when a file cannot be opened.
std::vector<std::unique_ptr<TapObserver>> open_recorders(const TapRecord &start);

}  // namespace jtag

#endif
