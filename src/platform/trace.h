// The operation trace: with JTAG_TRACE naming a file, one line per hardware
// operation is appended to it, written at the call so that a hang still
// shows the operation that hung.
#ifndef JTAGBOX_PLATFORM_TRACE_H
#define JTAGBOX_PLATFORM_TRACE_H

#include <string>
#include <string_view>

namespace jtag {

void trace(const std::string &line);
bool tracing();
// C-style escapes for a text shown inside `quote` quotes: \n \t \\, the quote
// itself, and \xHH for other bytes outside 0x20..0x7e.
std::string escape_text(std::string_view text, char quote = '"');

}  // namespace jtag

#endif
