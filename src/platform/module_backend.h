// Backends built as modules of their own (backends/module_interface.h), for
// the ones that need libraries every other start of a command can do
// without (an FTDI probe's libftdi1, libusb and libudev).  The module of
// backend table row NAME is the file
//   <folder of the engine's file>/../JTAGBOX_MODULE_DIR/NAME.so
// (lib/x86_64-linux-gnu/jtagbox on Debian's amd64, CMakeLists.txt)
// where the engine's file is the program that holds the platform core
// (bin/jtagbox, a tool beside it) or the shared library that does
// (lib/libjtagplatform.so), links resolved: the same place in the build
// tree, in any `cmake --install` prefix and in the package.  It is loaded
// only when JTAG_PLATFORM names its row, and only after its identity note
// (interface number and version) was read from the file and matched this
// build's: a module of another build is refused before any of its code
// runs.
#ifndef JTAGBOX_PLATFORM_MODULE_BACKEND_H
#define JTAGBOX_PLATFORM_MODULE_BACKEND_H

#include <string_view>

#include "backends/backend.h"
#include "platform/backend_table.h"

namespace jtag {

// The board `value` names, opened through the module of `entry`.  Throws
// PlatformError with the line to print: the module not installed (naming
// the package that installs it), of another build, not loadable, or the
// board's own failure.
Backend open_module_backend(const BackendEntry &entry, std::string_view value);

}  // namespace jtag

#endif
