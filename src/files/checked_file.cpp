#include "files/checked_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "base/error.h"

namespace jtagbox::files {
namespace {

[[noreturn]] void fail(const std::string &what, const std::string &path, int error) {
  throw jtag::ArgumentError("cannot " + what + " " + path + ": " + std::strerror(error));
}

// Everything of `text` to `fd`, through short writes and interruptions.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    text.remove_prefix(size_t(n));
  }
  return 0;
}

// A name beside `path` that no one else uses, for the file that replaces it.
std::string sibling_name(const std::string &path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::random_device seed;
  return dir + ".jtag-scan-" + std::to_string(::getpid()) + "-" + std::to_string(seed());
}

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

}  // namespace

void prepare_big_buffer(const void *data, size_t size) {
  char *const base = static_cast<char *>(const_cast<void *>(data));
  const uintptr_t from = reinterpret_cast<uintptr_t>(data), to = from + size;
  // [start, end) rounded inwards to `unit`, as a pointer into the buffer.
  const auto inner = [&](uintptr_t unit, size_t &length) {
    const uintptr_t start = (from + unit - 1) & ~(unit - 1), end = to & ~(unit - 1);
    length = end > start ? size_t(end - start) : 0;
    return base + (start - from);
  };
  size_t length = 0;
  char *huge = inner(kHugePage, length);
  if (length != 0) ::madvise(huge, length, MADV_HUGEPAGE);
  char *pages = inner(uintptr_t(::sysconf(_SC_PAGESIZE)), length);
  if (length != 0) ::madvise(pages, length, MADV_POPULATE_WRITE);
}

CheckedInput::CheckedInput(std::string path) : path_(std::move(path)) {
  fd_ = jtag::UniqueFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd_.valid()) fail("open", path_, errno);
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) fail("read", path_, errno);
  if (S_ISDIR(st.st_mode)) fail("read", path_, EISDIR);
  if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))
    throw jtag::ArgumentError("cannot read " + path_ + ": not a regular file");
  // Blocking reads from here on (the open itself must not wait on a FIFO).
  ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
  regular_ = S_ISREG(st.st_mode);
  size_ = regular_ ? uint64_t(st.st_size) : 0;
}

int CheckedInput::last_byte() const {
  unsigned char c = 0;
  if (size_ == 0 || ::pread(fd_.get(), &c, 1, off_t(size_ - 1)) != 1) return -1;
  return c;
}

size_t CheckedInput::read(char *buffer, size_t room) {
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer, room);
    if (n >= 0) return size_t(n);
    if (errno != EINTR) fail("read", path_, errno);
  }
}

std::string read_whole_file(const std::string &path, uint64_t limit) {
  CheckedInput in(path);
  if (in.size() > limit)
    throw jtag::ArgumentError(path + ": " + std::to_string(in.size()) + " bytes, more than the " +
                              std::to_string(limit) + " this reads");
  // Read straight into the text, one piece more than the size says (a file
  // that grew, a device of size 0).
  constexpr size_t kPiece = 65536;
  std::string text;
  size_t used = 0;
  for (;;) {
    if (text.size() - used < kPiece) {
      if (text.size() >= limit + 1) break;
      text.resize(std::min<size_t>(size_t(limit + 1), std::max(text.size() * 2, size_t(in.size()) + kPiece)));
      if (used == 0) prepare_big_buffer(text.data(), text.size());
    }
    const size_t n = in.read(text.data() + used, text.size() - used);
    if (n == 0) break;
    used += n;
  }
  if (used > limit) throw jtag::ArgumentError(path + ": more than the " + std::to_string(limit) + " bytes this reads");
  text.resize(used);
  return text;
}

void write_new_file(const std::string &path, std::string_view text, bool replace) {
  // Only a file (or a link, which is replaced itself) is ever replaced: a
  // device, a FIFO or a folder at the name stays what it is.
  struct stat st {};
  if (replace && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
    throw jtag::ArgumentError(path + " is not a regular file; --force replaces only files");
  const std::string target = replace ? sibling_name(path) : path;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == EEXIST && !replace) throw jtag::ArgumentError(path + " exists; --force replaces it");
    fail("create", replace ? path : target, errno);
  }
  int error = write_all(fd, text);
  if (error == 0 && replace && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && replace && ::rename(target.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(target.c_str());
    fail("write", path, error);
  }
}

}  // namespace jtagbox::files
