#include "main/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cli {
namespace {

int g_first_error = 0;

ssize_t write_to_fd1(void *, const char *buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(STDOUT_FILENO, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (g_first_error == 0) g_first_error = n < 0 ? errno : EIO;
      return -1;
    }
    done += size_t(n);
  }
  return ssize_t(size);
}

}  // namespace

void watch_standard_output() {
  const cookie_io_functions_t io{nullptr, write_to_fd1, nullptr, nullptr};
  std::FILE *watched = ::fopencookie(nullptr, "w", io);
  if (watched != nullptr) stdout = watched;  // else the plain stream, errors still caught by ferror
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

int flush_standard_output() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  return g_first_error != 0 ? g_first_error : EIO;
}

}  // namespace cli
