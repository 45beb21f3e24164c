// The one error every layer throws for a failure it cannot recover from
// (the wire is gone, the board's state cannot be read or written, a record
// cannot be written), with what kind of failure it is.  Its text is the one
// line a program prints; its kind lets a caller that is not a program (a
// script's API) answer each kind in its own way.  Nothing below the
// programs prints it or ends the process: the programs choose the words and
// the status.
#ifndef JTAGBOX_BASE_ERROR_H
#define JTAGBOX_BASE_ERROR_H

#include <stdexcept>
#include <string>

#include "base/printable.h"

namespace jtag {

enum class ErrorKind {
  Board,        // the board, its state or a record failed (the default)
  Unreachable,  // no board answers where JTAG_PLATFORM points: refused, absent, gone
  Protocol,     // the other end broke its protocol or its time: a stray byte, a short answer, a timeout
  Argument,     // a value the caller gave cannot be used: JTAG_PLATFORM, its keys, a record's name
  Unsupported,  // this backend or build does not offer the operation
  CheckFailed,  // the board answered, but not what was expected (a TDO check)
  Memory,       // the memory a request needs cannot be had
  Timeout,      // a wait with no end of its own ran into its caller's deadline (base/call_deadline.h)
};

// what() is the line with every byte that is no printable character shown
// as \xHH (a NUL too, which would otherwise end the text).
class PlatformError : public std::runtime_error {
 public:
  explicit PlatformError(const std::string &line, ErrorKind kind = ErrorKind::Board)
      : std::runtime_error(printable(line)), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

// The kinds a throw names most, as constructors of their own.  A caller
// catches PlatformError and asks kind(): a failure handed on through
// fail() (platform/platform_session.h) is a PlatformError again.
struct UnreachableError : PlatformError {
  explicit UnreachableError(const std::string &line) : PlatformError(line, ErrorKind::Unreachable) {}
};
struct ProtocolError : PlatformError {
  explicit ProtocolError(const std::string &line) : PlatformError(line, ErrorKind::Protocol) {}
};
struct ArgumentError : PlatformError {
  explicit ArgumentError(const std::string &line) : PlatformError(line, ErrorKind::Argument) {}
};
struct UnsupportedError : PlatformError {
  explicit UnsupportedError(const std::string &line) : PlatformError(line, ErrorKind::Unsupported) {}
};

}  // namespace jtag

#endif
