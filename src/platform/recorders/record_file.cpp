#include "platform/recorders/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/line_driver.h"

namespace jtag {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 16;

}  // namespace

RecordFile::RecordFile(std::string path, std::string what, Mode mode)
    : path_(std::move(path)), what_(std::move(what)), buffer_(kBufferBytes) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (mode == Mode::Append ? O_APPEND : O_TRUNC);
  fd_ = ::open(path_.c_str(), flags, 0644);
  if (fd_ < 0) fail("cannot open", errno);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    fail("cannot open", error);
  }
  was_empty_ = !S_ISREG(st.st_mode) || st.st_size == 0;
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
  const char *reason = error == ELOOP ? "it is a symbolic link" : std::strerror(error);
  throw PlatformError(std::string(doing) + " " + what_ + " " + path_ + ": " + reason);
}

}  // namespace jtag
