// The backends JTAG_PLATFORM can name, in the spirit of an adapter-driver
// list: "SCHEME" or "SCHEME:ARGUMENTS" picks the row whose scheme matches.
// The table is generated at configure time from the jtagbox_backend()
// declarations of CMakeLists.txt (cmake/backends.cmake), so the core knows
// none of the backends by name.
#ifndef JTAGBOX_PLATFORM_BACKEND_TABLE_H
#define JTAGBOX_PLATFORM_BACKEND_TABLE_H

#include <span>
#include <string_view>

#include "backends/backend.h"
#include "backends/backend_arguments.h"

namespace jtag {

struct BackendEntry {
  std::string_view scheme;
  std::string_view usage;  // e.g. "rbb:HOST:PORT"
  std::string_view keys;   // in positional order, e.g. "host,port"
  // Opens the board the arguments name; throws PlatformError with the line
  // to print.  Null for a backend left out of this build or built as a
  // module.
  Backend (*open)(const BackendArguments &arguments);
  // The module a backend is built as (platform/module_backend.h): its file
  // MODULE.so (platform/module_backend.h) and the Debian package that
  // installs it, MODULE.
  // Empty for a backend inside the engine.
  std::string_view module;
  // Why a backend left out of this build cannot be used: the line to print.
  std::string_view left_out;
};

std::span<const BackendEntry> backend_table();

// The scheme used when JTAG_PLATFORM is unset.
inline constexpr std::string_view kDefaultScheme = "sim";

}  // namespace jtag

#endif
