// jtagbox-bench [--bin DIR] [--quick] [NAME...]
// Runs every registered benchmark (or the named ones) against a fresh
// simulated board each and prints one line per result.  The commands are
// taken from the directory this program is in (the build tree's bin/ holds
// the links, jtag-sim and jtagbox-bench side by side), unless --bin says
// otherwise.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "bench.h"
#include "programs/program_frame.h"

extern char **environ;

namespace bench {
namespace {

std::vector<std::pair<std::string, Function>> &registry() {
  static std::vector<std::pair<std::string, Function>> r;
  return r;
}

// In a child just forked: standard output into the pipe, and SIGPIPE back
// to its default (the frame ignores it here), as a user starts a program.
void become_child_writing_to(const int (&out_pipe)[2]) {
  std::signal(SIGPIPE, SIG_DFL);
  ::dup2(out_pipe[1], 1);
  ::close(out_pipe[0]);
  ::close(out_pipe[1]);
}

}  // namespace

Registrar::Registrar(const char *name, Function f) { registry().emplace_back(name, f); }

namespace {

// One line the child writes on `fd` (without its newline), by `deadline`;
// what came of it by then.  A port is a few digits: a longer line is cut.
std::string read_line(int fd, std::chrono::steady_clock::time_point deadline) {
  constexpr std::size_t kLongestLine = 64;
  std::string line;
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  while (line.size() < kLongestLine) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0 || ::read(fd, &c, 1) != 1 || c == '\n') break;
    line.push_back(c);
  }
  return line;
}

// Starts bin/<args[0]> with `args` on the context's board and reads the
// ports it prints, one a line, into `ports` (0 for a line that is not
// there within 30 s).  posix_spawn starts it with this program's
// environment and the board's JTAG_PLATFORM, its standard output into a
// pipe and SIGPIPE back to its default (the frame ignores it here), as a
// user starts a server.  Returns its pid, -1 when it could not be started.
pid_t start_serving(const Context &ctx, std::vector<std::string> args, std::initializer_list<int *> ports) {
  const std::string program = (ctx.bin / args.front()).string();
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string platform = "JTAG_PLATFORM=" + ctx.env.at("JTAG_PLATFORM");
  std::vector<char *> envp{platform.data()};
  for (char **e = environ; *e; ++e)
    if (std::strncmp(*e, "JTAG_PLATFORM=", 14) != 0) envp.push_back(*e);
  envp.push_back(nullptr);
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[1]);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int *port : ports) {
    const std::string line = pid > 0 ? read_line(out_pipe[0], deadline) : std::string();
    *port = line.empty() ? 0 : std::stoi(line);
  }
  ::close(out_pipe[0]);
  return pid;
}

}  // namespace

int start_server(const Context &ctx, int &port) {
  return start_serving(ctx, {"jtag-sim", "serve", "--port", "0"}, {&port});
}

int start_jtag_serve(const Context &ctx, int &rbb_port, int &xvc_port) {
  return start_serving(ctx, {"jtag-serve", "--rbb", "0", "--xvc", "0"}, {&rbb_port, &xvc_port});
}

void report(const std::string &name, const std::string &text) {
  std::printf("%s: %s\n", name.c_str(), text.c_str());
  std::fflush(stdout);
}

Measured run(const Context &ctx, const std::string &command, const std::vector<std::string> &args,
             const std::map<std::string, std::string> &extra_env) {
  const std::string program = (ctx.bin / command).string();
  std::vector<std::string> env_text;
  std::map<std::string, std::string> vars;
  for (char **e = environ; *e; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq) vars[std::string(*e, size_t(eq - *e))] = eq + 1;
  }
  for (const auto &[k, v] : ctx.env) vars[k] = v;
  for (const auto &[k, v] : extra_env) vars[k] = v;
  for (const auto &[k, v] : vars)
    if (!v.empty()) env_text.push_back(std::string(k).append("=").append(v));
  std::vector<char *> argv{const_cast<char *>(program.c_str())};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  envp.reserve(env_text.size() + 1);
  for (auto &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out_pipe[2];
  if (::pipe(out_pipe) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    become_child_writing_to(out_pipe);
    if (::chdir(ctx.work.c_str()) != 0) _exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(out_pipe[1]);
  Measured m;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(out_pipe[0], buf, sizeof buf)) > 0) m.out.append(buf, size_t(n));
  ::close(out_pipe[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  m.peak_rss_kib = usage.ru_maxrss;
  return m;
}

namespace {

// The directory of this program's file, however it was started: by a path,
// relative or not, or by its name through PATH (argv[0] then has no
// directory at all, so only the kernel's record of the file is reliable).
std::filesystem::path own_directory() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

bool is_registered(const std::string &name) {
  const auto &r = registry();
  return std::any_of(r.begin(), r.end(), [&](const auto &entry) { return entry.first == name; });
}

void print_help(const std::filesystem::path &bin) {
  std::printf(
      "usage: jtagbox-bench [--bin DIR] [--quick] [NAME...]\n"
      "\n"
      "Times the jtagbox commands as a user runs them, each benchmark against a\n"
      "fresh simulated board in a scratch directory under /tmp, and prints one\n"
      "line per result.  Without NAME every benchmark runs.\n"
      "\n"
      "  --bin DIR   where the command links and jtag-sim are\n"
      "              (default: this program's directory, %s)\n"
      "  --quick     the small sizes only\n"
      "  --help      this text\n"
      "  --version   the version of jtagbox it belongs to\n"
      "\n"
      "benchmarks:",
      bin.empty() ? "unknown" : bin.c_str());
  std::vector<std::string> names;
  for (const auto &entry : registry()) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  for (const auto &name : names) std::printf(" %s", name.c_str());
  std::printf("\n");
}

int usage_error(const std::string &message) { return jtag::frame::usage_error(message); }

int bench_main(int argc, char **argv) {
  std::filesystem::path bin = own_directory();
  bool quick = false;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_help(own_directory());
      return jtag::frame::kSuccess;
    }
    if (arg == "--version") return jtag::frame::print_version();
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--bin") {
      if (i + 1 == argc || argv[i + 1][0] == '\0') return usage_error("--bin needs a directory");
      bin = argv[++i];
    } else if (arg.starts_with("-")) {
      return usage_error("unknown option '" + arg + "'");
    } else if (!is_registered(arg)) {
      return usage_error("no benchmark '" + arg + "'");
    } else {
      only.push_back(arg);
    }
  }
  if (bin.empty()) return usage_error("cannot find this program's directory; give --bin DIR");
  std::error_code ec;
  bin = std::filesystem::absolute(bin, ec);
  if (ec || !std::filesystem::exists(bin / "jtagbox"))
    return jtag::frame::failure("no jtagbox in " + bin.string() + " (give --bin DIR)");
  for (const auto &[name, f] : registry()) {
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
    char tmpl[] = "/tmp/jtagbox-bench-XXXXXX";
    const char *work = ::mkdtemp(tmpl);
    if (work == nullptr) return jtag::frame::failure(std::string("mkdtemp: ") + std::strerror(errno));
    Context ctx;
    ctx.bin = bin;
    ctx.work = work;
    ctx.quick = quick;
    ctx.env["JTAG_PLATFORM"] = "sim:" + (ctx.work / "board").string();
    f(ctx);
    std::filesystem::remove_all(ctx.work, ec);
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char **argv) { return jtag::frame::run("jtagbox-bench", argc, argv, bench::bench_main); }
