// Where a program keeps per-user state (the simulated board, the TAP records
// of boards on the wire), by one rule for every program: the XDG base
// directory for state, $XDG_STATE_HOME when it is an absolute path (the XDG
// rules say a relative one is to be ignored), else $HOME/.local/state when
// HOME is an absolute path, else nowhere: a relative HOME would put the
// state wherever the program happened to start.
#ifndef JTAGBOX_BASE_STATE_DIR_H
#define JTAGBOX_BASE_STATE_DIR_H

#include <filesystem>
#include <string>

namespace jtag {

// user_state_dir() / `name`.  Throws PlatformError, saying that `what`
// (e.g. "the simulated board") has no place, when neither variable is an
// absolute path.
std::filesystem::path user_state_dir(const std::string &name, const std::string &what);

}  // namespace jtag

#endif
