// A TAP record kept in a file of the user's own state directory, for
// backends whose board cannot tell its TAP state (an adapter on the wire):
//   $XDG_STATE_HOME/jtagbox/tap-records/NAME (XDG_STATE_HOME only when it is
//   an absolute path), else $HOME/.local/state/jtagbox/tap-records/NAME
// holding "jtagbox tap record 1", then tap=STATE, tms=0|1, tdi=0|1.
//
// No file means the board as after power-up.  A file that cannot be read is
// reported, never replaced.  A record is written to a new temporary file
// (created exclusively, so no planted link is followed) and renamed into
// place; the directory keeps the kMaxTapRecords most recent records and
// removes the oldest beyond them, so records of servers long gone do not
// pile up.
#ifndef JTAGBOX_BACKENDS_TAP_RECORD_FILE_H
#define JTAGBOX_BACKENDS_TAP_RECORD_FILE_H

#include <filesystem>
#include <memory>
#include <string>

#include "backends/backend.h"
#include "base/unique_fd.h"

namespace jtag {

inline constexpr size_t kMaxTapRecords = 64;

// The directory records go to; throws PlatformError when neither variable
// gives an absolute path.
std::filesystem::path tap_record_dir();

// The record named `name` (any text: characters other than letters, digits,
// '.' and '-' become '_').  Throws PlatformError when there is no place for it.
std::unique_ptr<TapRecordStore> tap_record_file(const std::string &name);

// An adapter that one process at a time may drive (a USB probe: two runs
// would interleave their commands and their TAP records): an exclusive lock
// on $STATE/jtagbox/adapter-locks/NAME (NAME as above), held while the
// descriptor is open.  Waits while another process holds it, up to
// kAdapterLockSeconds, then throws PlatformError naming `what`.
inline constexpr int kAdapterLockSeconds = 30;
UniqueFd lock_adapter(const std::string &name, const std::string &what);

}  // namespace jtag

#endif
