#include "main/cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/printable.h"
#include "main/standard_output.h"
#include "platform/jtag_platform.h"
#include "platform/run_end.h"

namespace cli {

void scan(int argc, char **argv, const OptionHandler &on_option, const PositionalHandler &on_positional) {
  int i = 1;
  while (i < argc) {
    if (argv[i][0] == '-') {
      on_option(argv[i]);
      ++i;
    } else {
      const int taken = on_positional(argv + i, argc - i);
      i += taken < 1 ? 1 : taken;
    }
  }
}

PositionalHandler group_of(int size, std::function<void(char *const *words, int present)> take) {
  return [size, take = std::move(take)](char *const *words, int remaining) {
    const int present = remaining < size ? remaining : size;
    take(words, present);
    return present;
  };
}

void set_debug_level(const char *word) {
  if (has_equals(word))
    std::sscanf(word, "-d=%d", &debug_level);
  else
    debug_level = 1;
}

bool common_option(const char *word, const std::function<void()> &print_usage) {
  switch (letter(word)) {
    case 'd': set_debug_level(word); return true;
    case 'h': print_usage(); exit_command(0);
    default: return false;
  }
}

bool common_option(const char *word, const char *usage) {
  return common_option(word, [usage] { std::puts(usage); });
}

namespace {

void say_board_failure(const std::string &why) {
  std::fflush(stdout);
  std::fprintf(stderr, "jtagbox: %s\n", jtag::printable(why).c_str());
}

}  // namespace

bool end_board_run() {
  const std::optional<std::string> lost = jtag::end_run();
  if (lost) say_board_failure(*lost);
  return !lost;
}

void end_on_board_failure(const jtag::PlatformError &failure) {
  say_board_failure(failure.what());
  jtag::abandon_run();  // closed without confirming anything
  std::exit(1);
}

int finish(int status) {
  const bool board_done = end_board_run();
  if (const int error = flush_standard_output(); error != 0) {
    std::fprintf(stderr, "jtagbox: cannot write standard output: %s\n", std::strerror(error));
    return 1;
  }
  return board_done ? status : 1;
}

void exit_command(int status) { std::exit(finish(status)); }

void fail(const char *message, const char *usage) {
  std::puts(message);
  if (usage != nullptr) std::puts(usage);
  exit_command(1);
}

void help(const char *usage) {
  std::puts(usage);
  exit_command(0);
}

bool read_int(const char *word, int &value) { return std::sscanf(word, "%d", &value) == 1; }

std::string option_value(const char *word, const char *format) {
  // The value is a part of the word, so the word's length bounds it.
  std::string value(std::strlen(word) + 1, '\0');
  if (std::sscanf(word, format, value.data()) != 1) return "";
  value.resize(std::strlen(value.c_str()));
  return value;
}

void debug(const char *format, ...) {
  if (!debug_level) return;
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);  // NOLINT(clang-analyzer-valist.Uninitialized): va_start above sets it
  va_end(args);
}

}  // namespace cli
