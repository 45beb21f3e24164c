// jtag-svf [-q] [--ahead N] [--strict] [--tms-trst] FILE...: plays SVF
// (Serial Vector Format) files on the board JTAG_PLATFORM names, in order,
// as one session (what one file leaves, the next finds: the TAP,
// ENDIR/ENDDR, headers and trailers, kept TDI and MASK).  Nothing goes to
// standard output.  Exit status 0 when every TDO check passed; 1 after one
// line on standard error for the first mismatch, a statement that cannot be
// read or played, a file that cannot be read, or a failure of the board; 2
// for a command line it cannot use.  What the player has to say on the way
// (a FREQUENCY it does not set, a TRST ON by TMS) is a line on standard
// error too.
//
// The files are read through a fixed buffer and played one statement at a
// time (svf_lexer.h, svf_statement.h, svf_player.h): memory follows the
// values given in full in one scan, not the length of the file, and a long
// scan goes to the board in pieces.  While standard error is a terminal, a
// percentage of each file read is shown there, rewritten in place and
// cleared at the end; -q turns it off.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "main/cli.h"
#include "platform/run_end.h"
#include "programs/program_frame.h"
#include "tools/svf_lexer.h"
#include "tools/svf_player.h"
#include "tools/svf_statement.h"

namespace {

namespace tools = jtag::tools;

constexpr const char *kUsage =
    "usage: jtag-svf [-q] [--ahead N] [--tms-trst] FILE...\n"
    "Plays the SVF files on the board JTAG_PLATFORM names, in order, and checks\n"
    "every TDO given; nothing after a failing check reaches the board.\n"
    "  -q          no progress\n"
    "  --ahead N   let up to N checked scans (1..4096) go on the wire before\n"
    "              their TDO is compared: faster, but the statements after a\n"
    "              failing check (on a real board: erase, program) may have run\n"
    "  --strict    the default, kept for old scripts\n"
    "  --tms-trst  let TRST ON be TMS-high clocks from any state on an adapter\n"
    "              without a TRST line\n";

struct CommandLine {
  bool quiet = false;
  tools::SvfPlayerOptions player;
  std::vector<std::string> files;
};

// The part of each file read, on standard error while it is a terminal.
class Progress {
 public:
  explicit Progress(bool on) : on_(on) {}
  void show(const tools::SvfLexer &in) {
    if (!on_ || in.size() == 0) return;
    const int percent = int(in.bytes_read() * 100 / in.size());
    if (percent == shown_) return;
    shown_ = percent;
    // The cursor goes back to the start of the line, so whatever comes next
    // (the next figure, a failure of the board) writes over it.
    const int written = std::fprintf(stderr, "jtag-svf: %s %d%%\r", in.name().c_str(), percent);
    width_ = std::max(width_, written);
  }
  void clear() {
    if (width_ > 0) std::fprintf(stderr, "%*s\r", width_ - 1, "");
    width_ = 0;
    shown_ = -1;
  }

 private:
  bool on_;
  int shown_ = -1, width_ = 0;
};

int usage_error(const std::string &line) { return jtag::frame::usage_error(line, kUsage); }

// N of --ahead: 1 to kMaxAhead in decimal digits, nothing else.
std::optional<size_t> ahead_count(const char *text) {
  size_t n = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    n = 10 * n + size_t(*c - '0');
    if (n > tools::kMaxAhead) return std::nullopt;
  }
  if (n == 0) return std::nullopt;
  return n;
}

// A bad N is one line: the usage text says nothing more about it.
int ahead_error(const char *text) {
  const std::string range = "a number of checked scans from 1 to " + std::to_string(tools::kMaxAhead);
  jtag::frame::failure(text == nullptr ? "--ahead needs " + range : "--ahead " + std::string(text) + ": not " + range);
  return jtag::frame::kUsageError;
}

void play_file(const std::string &file, tools::SvfPlayer &player, Progress &progress) {
  tools::SvfLexer in(file);
  try {
    while (std::optional<tools::SvfStatement> s = tools::read_statement(in)) {
      player.play(std::move(*s), in.where());
      progress.show(in);
    }
  } catch (const std::bad_alloc &) {
    throw tools::SvfError(in.where() + ": out of memory");
  } catch (const std::length_error &) {
    throw tools::SvfError(in.where() + ": out of memory");
  }
  progress.clear();
}

// The end of the run, then one line: what was played stays on the board,
// and when the board cannot keep it either, the same line says so.
int failed(Progress &progress, const char *text) {
  progress.clear();
  return jtag::frame::failure(jtag::end_run_after_failure(text));
}

// The first failure in the order of the files: a scan whose TDO is still
// being compared when a later statement fails came first.
std::string first_failure(tools::SvfPlayer &player, const tools::SvfError &later) {
  try {
    player.finish();
  } catch (const tools::SvfError &earlier) {
    return earlier.what();
  }
  return later.what();
}

int play(CommandLine &line) {
  Progress progress(!line.quiet && ::isatty(STDERR_FILENO) == 1);
  // What the player has to say goes on its own line, over any progress.
  line.player.say = [&progress](const std::string &text) {
    progress.clear();
    std::fprintf(stderr, "jtag-svf: %s\n", text.c_str());
  };
  tools::SvfPlayer player(std::move(line.player));
  try {
    for (const std::string &file : line.files) play_file(file, player, progress);
    player.finish();
  } catch (const tools::SvfError &e) {
    return failed(progress, first_failure(player, e).c_str());
  } catch (const std::bad_alloc &) {
    return failed(progress, "out of memory");
  }
  return cli::end_board_run() ? 0 : 1;
}

int run(int argc, char **argv) {
  CommandLine line;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (options && (word == "--help" || word == "-h")) return jtag::frame::print_help(kUsage);
    if (options && word == "--version") return jtag::frame::print_version();
    if (options && word == "--") {
      options = false;
    } else if (options && word == "-q") {
      line.quiet = true;
    } else if (options && word == "--strict") {
      line.player.ahead = 0;
    } else if (options && word == "--ahead") {
      const std::optional<size_t> n = i + 1 < argc ? ahead_count(argv[i + 1]) : std::nullopt;
      if (!n) return ahead_error(i + 1 < argc ? argv[i + 1] : nullptr);
      line.player.ahead = *n;
      ++i;
    } else if (options && word == "--tms-trst") {
      line.player.tms_trst = true;
    } else if (options && word.size() > 1 && word[0] == '-') {
      return usage_error("unknown option '" + word + "'");
    } else {
      line.files.push_back(word);
    }
  }
  if (line.files.empty()) return usage_error("no FILE given");
  return play(line);
}

}  // namespace

int main(int argc, char **argv) {
  jtag::set_failure_handler(cli::end_on_board_failure);
  return jtag::frame::run("jtag-svf", argc, argv, [](int n, char **words) {
    jtag::frame::show_notices_as("jtagbox");  // the board's lines are the commands'
    return run(n, words);
  });
}
