// The files of the tools beside the commands (jtag-scan's maps, dumps and
// pattern files), by stricter rules than the commands' own (output_file.h,
// input_file.h), and without printing: every failure is a PlatformError
// of kind Argument whose text is the one line to print.
//
// Reading: a regular file or a character device (/dev/stdin); a link is
// followed, since a dump is often a link to the last good one.  The size
// is asked before anything is sized from it, and reads come in pieces.
//
// Writing: the file is created exclusively (O_EXCL, so never through a
// link planted at its name), mode 0666 less the umask.  An existing name
// is refused unless `replace` is given, and even then unless it is a
// regular file or a symbolic link; then the text goes to a new file
// beside it, which is renamed over the name once written and synced: the
// old file (or a link at the name, which is replaced, not followed) stays
// whole until the new one is complete.  A write that fails removes what
// was written and says why.
#ifndef JTAGBOX_FILES_CHECKED_FILE_H
#define JTAGBOX_FILES_CHECKED_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace jtagbox::files {

class CheckedInput {
 public:
  // Opens `path` for reading.  Throws for a file that cannot be opened or
  // is a directory, FIFO or socket.
  explicit CheckedInput(std::string path);
  // The file's size as the system gives it (0 for a character device).
  uint64_t size() const { return size_; }
  bool regular() const { return regular_; }
  // The file's last byte, or -1 (an empty file, a device).
  int last_byte() const;
  // Up to `room` bytes into `buffer`; 0 at the end of the file.
  size_t read(char *buffer, size_t room);
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  jtag::UniqueFd fd_;
  uint64_t size_ = 0;
  bool regular_ = false;
};

// Readies `size` bytes at `data` (a buffer not yet written, such as the
// reserve of a vector) for being written through: huge pages asked for
// where the system gives them on request (whole 2 MiB pages inside the
// buffer), then every page made present in one call.  A 16 MiB dump's bits
// are otherwise 2,048 page faults, which on a virtual machine cost more
// than reading the file.  A refusal (an older kernel) changes nothing.
void prepare_big_buffer(const void *data, size_t size);

// The whole of `path`, refused when it is longer than `limit` bytes.
std::string read_whole_file(const std::string &path, uint64_t limit);

// Writes `text` to a new file `path` by the rules above.
void write_new_file(const std::string &path, std::string_view text, bool replace);

}  // namespace jtagbox::files

#endif
