#include "recorders/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/unique_fd.h"

namespace jtag {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 16;

// A record goes to a regular file or to a character device (/dev/null to
// drop it, /dev/full to try a failing disk); never into a FIFO, a socket,
// a directory or a block device.
bool recordable(mode_t mode) { return S_ISREG(mode) || S_ISCHR(mode); }

// What an errno means for a record file: O_NOFOLLOW reports a link as ELOOP.
std::string reason_of(int error) { return error == ELOOP ? "it is a symbolic link" : std::strerror(error); }

[[noreturn]] void cannot_open(const std::string &what, const std::string &path, const std::string &reason) {
  throw PlatformError("cannot open " + what + " " + path + ": " + reason);
}

std::string kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "it is a FIFO";
  if (S_ISSOCK(mode)) return "it is a socket";
  if (S_ISDIR(mode)) return "it is a directory";
  if (S_ISBLK(mode)) return "it is a block device";
  return "it is not a file";
}

}  // namespace

RecordFile::RecordFile(std::string path, std::string what, Mode mode)
    : path_(std::move(path)), what_(std::move(what)), buffer_(kBufferBytes) {
  fd_ = open_record(path_, what_, mode);
  struct stat st {};
  was_empty_ = ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0;
}

int RecordFile::open_record(const std::string &path, const std::string &what, Mode mode) {
  // A FIFO would hold the process (and the board it has taken) until some
  // reader came: only a regular file, or a device such as /dev/null, is
  // opened, and without waiting.  The name is looked at before the open
  // (so a FIFO is not opened at all) and the file opened checked again.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && !recordable(st.st_mode))
    cannot_open(what, path, kind_of(st.st_mode) + ", not a regular file");
  const int flags =
      O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (mode == Mode::Append ? O_APPEND : O_TRUNC);
  UniqueFd fd(::open(path.c_str(), flags, 0644));
  if (!fd.valid()) cannot_open(what, path, reason_of(errno));
  if (::fstat(fd.get(), &st) != 0) cannot_open(what, path, reason_of(errno));
  if (!recordable(st.st_mode)) cannot_open(what, path, kind_of(st.st_mode) + ", not a regular file");
  return fd.release();
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) ::close(fd_);
}

void RecordFile::put(std::string_view text) {
  while (!text.empty()) {
    if (used_ == buffer_.size()) drain();
    const std::size_t n = std::min(text.size(), buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
  }
}

void RecordFile::drain() {
  std::size_t done = 0;
  while (done < used_) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write", n < 0 ? errno : ENOSPC);
    done += std::size_t(n);
  }
  used_ = 0;
}

void RecordFile::close() {
  if (fd_ < 0) return;
  drain();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail("cannot write", errno);
}

void RecordFile::fail(const char *doing, int error) const {
  throw PlatformError(std::string(doing) + " " + what_ + " " + path_ + ": " + reason_of(error));
}

}  // namespace jtag
