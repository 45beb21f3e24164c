#include "platform/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace jtag {
namespace {

int trace_fd() {
  static const int fd = [] {
    const char *path = std::getenv("JTAG_TRACE");
    if (path == nullptr || *path == '\0') return -1;
    const int f = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (f < 0) {
      std::fprintf(stderr, "jtagbox: cannot open trace file %s\n", path);
      std::exit(1);
    }
    return f;
  }();
  return fd;
}

}  // namespace

bool tracing() { return trace_fd() >= 0; }

void trace(const std::string &line) {
  const int fd = trace_fd();
  if (fd < 0) return;
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;  // a full disk loses trace lines, never the command
    done += size_t(n);
  }
}

std::string escape_text(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c == static_cast<unsigned char>(quote)) {
          out += '\\';
          out += char(c);
        } else if (c < 0x20 || c > 0x7e) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out;
}

}  // namespace jtag
