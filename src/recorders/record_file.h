// The file a recorder writes: opened once, written through a fixed buffer
// (memory does not grow with the length of the run), every write checked.
// A file that cannot be opened or written is a PlatformError naming it, so
// the command ends with one line on standard error and status 1: a record
// cut short is never reported as success.
#ifndef JTAGBOX_RECORDERS_RECORD_FILE_H
#define JTAGBOX_RECORDERS_RECORD_FILE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace jtag {

class RecordFile {
 public:
  enum class Mode { Replace, Append };
  // Creates `path` (mode 0644 before the umask) or opens it as it is; a
  // symbolic link at `path` is refused, never followed, and so is anything
  // but a regular file or a character device (/dev/null): a FIFO would
  // block.  `what` names the record in messages ("waveform", "SVF
  // record").  Throws PlatformError.
  RecordFile(std::string path, std::string what, Mode mode);

  // The descriptor such a file is written through, by the same rules, for
  // a record that writes unbuffered (the trace).  Throws PlatformError.
  static int open_record(const std::string &path, const std::string &what, Mode mode);
  RecordFile(const RecordFile &) = delete;
  RecordFile &operator=(const RecordFile &) = delete;
  ~RecordFile();

  // True when the file was empty when opened (a new record).
  bool was_empty() const { return was_empty_; }
  const std::string &path() const { return path_; }

  void put(char c) {
    if (used_ == buffer_.size()) drain();
    buffer_[used_++] = c;
  }
  void put(std::string_view text);
  // Everything written so far is in the file.
  void flush() { drain(); }
  // The same, then the file is closed.
  void close();

 private:
  void drain();
  [[noreturn]] void fail(const char *doing, int error) const;

  std::string path_;
  std::string what_;
  int fd_ = -1;
  bool was_empty_ = true;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

}  // namespace jtag

#endif
