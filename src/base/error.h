// The one error every layer throws for a failure it cannot recover from
// (the wire is gone, the board's state cannot be read or written, a record
// cannot be written).  Whoever meets it ends the program with its text as
// one line on standard error and status 1.
#ifndef JTAGBOX_BASE_ERROR_H
#define JTAGBOX_BASE_ERROR_H

#include <stdexcept>

namespace jtag {

class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace jtag

#endif
