// The text of the last system error, for the one line a failure prints.
#ifndef JTAGBOX_BASE_ERRNO_TEXT_H
#define JTAGBOX_BASE_ERRNO_TEXT_H

#include <cerrno>
#include <cstring>
#include <string>

namespace jtag {

inline std::string errno_text() { return std::strerror(errno); }

}  // namespace jtag

#endif
