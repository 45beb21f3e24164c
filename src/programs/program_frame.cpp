#include "programs/program_frame.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "base/error.h"
#include "base/notice.h"
#include "base/printable.h"

namespace jtag::frame {
namespace {

const char *g_name = "jtagbox";
const char *g_notice_name = "jtagbox";
int g_failure_status = kFailure;

void line_on_stderr(std::string_view message, const char *name = g_name) {
  std::fprintf(stderr, "%s: %s\n", name, printable(message).c_str());
}

}  // namespace

void show_notices_as(const char *name) {
  g_notice_name = name;
  set_notice_sink(
      [](const std::string &line) { std::fprintf(stderr, "%s: %s\n", g_notice_name, printable(line).c_str()); });
}

const char *program_name() { return g_name; }

int print_version() {
  std::printf("%s (jtagbox) %s\n", g_name, JTAGBOX_VERSION);
  return kSuccess;
}

int print_help(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kSuccess;
}

int usage_error(std::string_view message, const char *usage) {
  line_on_stderr(message);
  if (usage != nullptr)
    std::fputs(usage, stderr);
  else
    std::fprintf(stderr, "Try '%s --help'.\n", g_name);
  return kUsageError;
}

int failure(std::string_view message) {
  line_on_stderr(message);
  return g_failure_status;
}

int failure_as(const char *name, std::string_view message) {
  line_on_stderr(message, name);
  return g_failure_status;
}

void set_failure_status(int status) { g_failure_status = status; }

int check_standard_output(int status) {
  errno = 0;
  // std::cout (jtag-sim show) writes through stdout's own buffer, as it
  // does while synchronized with stdio, so this sees its failures too.  No
  // <iostream> here: its static initializer would build the C++ locale at
  // every start of every command, a cost the start-up benchmark sees.
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
  return failure(std::string("cannot write standard output: ") + (errno != 0 ? std::strerror(errno) : "write failed"));
}

int run(const char *name, int argc, char **argv, Body body) {
  g_name = name;
  show_notices_as(name);
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return check_standard_output(body(argc, argv));
  } catch (const PlatformError &e) {
    return failure(e.what());
  } catch (const std::bad_alloc &) {
    return failure("out of memory");
  }
}

}  // namespace jtag::frame
