// Texts that came from a file or the wire (a board's database, an SVF file,
// a server's bytes) reach error lines on a terminal: each byte outside
// 0x20..0x7e is shown as \xHH, so that no escape sequence, bell or line
// end of someone else's making is sent to the terminal, and the message
// stays one line.
#ifndef JTAGBOX_BASE_PRINTABLE_H
#define JTAGBOX_BASE_PRINTABLE_H

#include <string>
#include <string_view>

namespace jtag {

std::string printable(std::string_view text);

}  // namespace jtag

#endif
