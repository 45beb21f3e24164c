// The frame of libjtagplatform.so (cmake/platform-library.cmake), our
// platform layer built as a shared library for executables that know only
// the C interface of platform/jtag_platform.h.  As the board's own C
// libraries do, the library says its failures and ends the process itself:
// its callers have no error result to look at, and no C++ exception crosses
// a C interface.  It is the library's top, as src/programs is the programs':
// the only file in it that writes to the terminal or ends the process.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/notice.h"
#include "base/printable.h"
#include "platform/run_end.h"

namespace jtag {
namespace {

// The run ends when the process exits; a board that cannot confirm it makes
// the exit status 1.
void end_run_at_exit() {
  if (const std::optional<std::string> failure = end_run()) {
    std::fflush(stdout);
    std::fprintf(stderr, "jtagbox: %s\n", printable(*failure).c_str());
    std::_Exit(1);
  }
}

// Registered when the run takes the board, after the session's own
// destructor is registered, so that it runs first at exit.
void end_at_exit() { std::atexit(end_run_at_exit); }

[[noreturn]] void end_on_failure(const PlatformError &failure) {
  std::fflush(stdout);
  std::fprintf(stderr, "jtagbox: %s\n", printable(failure.what()).c_str());
  abandon_run();
  std::exit(1);
}

// Its notices (a busy board) go after the commands' name.
void show_notice(const std::string &line) { std::fprintf(stderr, "jtagbox: %s\n", printable(line).c_str()); }

// Set when the library is loaded, before any call of the C interface.
struct LibraryFrame {
  LibraryFrame() {
    set_failure_handler(end_on_failure);
    set_notice_sink(show_notice);
    set_run_start_handler(end_at_exit);
  }
};
const LibraryFrame g_frame;

}  // namespace
}  // namespace jtag
