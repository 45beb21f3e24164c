#include "platform/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform_session.h"
#include "recorders/record_file.h"

namespace jtag {
namespace {

const char *trace_path() {
  const char *path = std::getenv("JTAG_TRACE");
  return path != nullptr && *path != '\0' ? path : nullptr;
}

// Opened at the first use, by the rules of every record file (no link
// followed, no FIFO waited on); a trace that cannot be opened ends the
// process before the board is taken.
int trace_fd() {
  static const int fd = [] {
    const char *path = trace_path();
    if (path == nullptr) return -1;
    try {
      return RecordFile::open_record(path, "trace file", RecordFile::Mode::Append);
    } catch (const PlatformError &e) {
      fail(e);
    }
  }();
  return fd;
}

thread_local bool t_bound = false;
thread_local const TraceFile *t_bound_file = nullptr;

// A library caller's binding brings its own trace (or none).
int current_trace_fd() {
  if (!t_bound) return trace_fd();
  return t_bound_file != nullptr ? t_bound_file->fd.get() : -1;
}

const char *current_trace_path() { return t_bound ? t_bound_file->path.c_str() : trace_path(); }

}  // namespace

TraceFile::TraceFile(std::string file)
    : path(std::move(file)), fd(RecordFile::open_record(path, "trace file", RecordFile::Mode::Append)) {}

void bind_trace(bool bound, const TraceFile *file) {
  t_bound = bound;
  t_bound_file = file;
}

bool tracing() { return current_trace_fd() >= 0; }

// One write per line, so that the lines of processes sharing the file do
// not mix; a line that cannot be written ends the command like any other
// record cut short.
void trace(const std::string &line) {
  const int fd = current_trace_fd();
  if (fd < 0) return;
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      fail(PlatformError("cannot write trace file " + std::string(current_trace_path()) + ": " +
                         std::strerror(n < 0 ? errno : ENOSPC)));
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
