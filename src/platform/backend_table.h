// The backends JTAG_PLATFORM can name, in the spirit of an adapter-driver
// list: "SCHEME" or "SCHEME:ARGUMENT" picks the row whose scheme matches.
// The table itself lives with the backends (src/backends), so the core
// knows none of them.
#ifndef JTAGBOX_PLATFORM_BACKEND_TABLE_H
#define JTAGBOX_PLATFORM_BACKEND_TABLE_H

#include <span>
#include <string_view>

#include "driver/line_driver.h"

namespace jtag {

struct BackendEntry {
  std::string_view scheme;
  std::string_view usage;  // e.g. "rbb:HOST:PORT"
  // Opens the board the argument names (empty for a bare "SCHEME"); throws
  // PlatformError with the line to print.
  Backend (*open)(std::string_view argument);
};

std::span<const BackendEntry> backend_table();

// The scheme used when JTAG_PLATFORM is unset.
inline constexpr std::string_view kDefaultScheme = "sim";

}  // namespace jtag

#endif
