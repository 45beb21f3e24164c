// The operation trace: with JTAG_TRACE naming a file, one line per hardware
// operation is appended to it, written at the call so that a hang still
// shows the operation that hung.
#ifndef JTAGBOX_PLATFORM_TRACE_H
#define JTAGBOX_PLATFORM_TRACE_H

#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace jtag {

// A trace file a library caller keeps across its calls (the commands' is
// JTAG_TRACE's, opened at the first line).
struct TraceFile {
  // Opened by the rules of every record file, for appending.  Throws
  // PlatformError.
  explicit TraceFile(std::string file);
  std::string path;
  UniqueFd fd;
};
// While a library caller's session is bound to this thread, its lines go
// to `file` (null: no trace); with null `file` and `bound` false, back to
// JTAG_TRACE's.
void bind_trace(bool bound, const TraceFile *file);

void trace(const std::string &line);
bool tracing();
// C-style escapes for a text shown inside `quote` quotes: \n \t \\, the quote
// itself, and \xHH for other bytes outside 0x20..0x7e.
std::string escape_text(std::string_view text, char quote = '"');

}  // namespace jtag

#endif
