// A file descriptor that closes itself.
#ifndef JTAGBOX_BASE_UNIQUE_FD_H
#define JTAGBOX_BASE_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

namespace jtag {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    UniqueFd old(std::exchange(fd_, other.release()));
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over; this one no longer closes it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace jtag

#endif
