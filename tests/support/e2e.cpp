#include "support/e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace e2e {
namespace fs = std::filesystem;

namespace {
constexpr int kRunTimeoutSeconds = 120;  // a hung command fails its test, never the suite
}

bool over_wire() {
  const char *b = std::getenv("JTAGBOX_E2E_BACKEND");
  return b != nullptr && std::strcmp(b, "rbb") == 0;
}

fs::path prefix() {
  const char *p = std::getenv("JTAGBOX_PREFIX");
  return p != nullptr ? fs::path(p) : fs::path("test-prefix");
}

fs::path bin(const std::string &name) { return prefix() / "bin" / name; }

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

mode_t file_mode(const fs::path &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void BoardTest::SetUp() {
  char tmpl[] = "/tmp/jtagbox-e2e-XXXXXX";
  const char *made = ::mkdtemp(tmpl);
  ASSERT_NE(made, nullptr);
  dir_ = made;
  env_["JTAG_PLATFORM"] = "sim:" + (dir_ / "board").string();
  env_["JTAG_TRACE"] = (dir_ / "trace").string();
  env_["XDG_STATE_HOME"] = (dir_ / "state").string();
  if (over_wire()) start_server();
}

// Over the wire every test gets its own `jtag-sim serve` on its own board.
void BoardTest::start_server() {
  const int port = server_.start(env_["JTAG_PLATFORM"]);
  ASSERT_NE(port, 0) << "jtag-sim serve printed no port";
  wire_port_ = std::to_string(port);
}

void BoardTest::stop_server() { server_.stop(); }

void BoardTest::sync_wire_record() {
  const Result shown = exec(bin("jtag-sim"), "jtag-sim", {"show"});
  std::string tap = "Test-Logic-Reset", tms = "1", tdi = "1";
  for (const std::string &l : split_lines(shown.out)) {
    if (l.rfind("TAP of the chain: ", 0) == 0) tap = l.substr(18);
    if (l.rfind("lines: TMS ", 0) == 0 && l.size() >= 18) {
      tms = l.substr(11, 1);
      tdi = l.substr(l.size() - 1);
    }
  }
  const fs::path record = dir_ / "state" / "jtagbox" / "tap-records" / ("rbb-127.0.0.1-" + wire_port_);
  fs::create_directories(record.parent_path());
  write_file(record, "jtagbox tap record 1\ntap=" + tap + "\ntms=" + tms + "\ntdi=" + tdi + "\n");
}

void BoardTest::TearDown() {
  stop_server();
  std::error_code ec;
  if (!HasFailure()) fs::remove_all(dir_, ec);
}

Result BoardTest::run(const std::string &command, const std::vector<std::string> &args) {
  const fs::path program = bin(command);
  return exec(program, program.string(), args);
}

Result BoardTest::run_to(const fs::path &file, const std::string &command, const std::vector<std::string> &args) {
  stdout_file_ = file;
  Result r = run(command, args);
  stdout_file_.clear();
  return r;
}

Result BoardTest::exec(const fs::path &program, const std::string &argv0, const std::vector<std::string> &args,
                       const std::map<std::string, std::string> &env) {
  std::map<std::string, std::string> vars;
  for (char **e = environ; *e != nullptr; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq != nullptr) vars[std::string(*e, size_t(eq - *e))] = eq + 1;
  }
  for (const auto &[k, v] : env_) vars[k] = v;
  const bool board_tool = program.filename() == "jtag-sim";
  if (over_wire() && !board_tool) vars["JTAG_PLATFORM"] = "rbb:127.0.0.1:" + wire_port_;
  for (const auto &[k, v] : env) vars[k] = v;
  std::vector<std::string> env_text;
  for (const auto &[k, v] : vars)
    if (!v.empty()) env_text.push_back(k + "=" + v);

  std::vector<char *> argv{const_cast<char *>(argv0.c_str())};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (auto &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = stdout_file_.empty() ? out_pipe[1] : ::open(stdout_file_.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) _exit(126);
    ::dup2(out, 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    if (::chdir(dir_.c_str()) != 0) _exit(126);
    ::umask(077);  // strict, so that a file of mode 0777 owes it to the command
    ::execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  Result r;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunTimeoutSeconds);
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ADD_FAILURE() << argv0 << " did not finish within " << kRunTimeoutSeconds << " s";
      break;
    }
    if (::poll(fds, 2, 1000) < 0) break;
    for (auto &f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP))) continue;
      const ssize_t n = ::read(f.fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(f.fd);
        f.fd = -1;
        --open_fds;
      } else {
        (f.fd == out_pipe[0] ? r.out : r.err).append(buf, size_t(n));
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (over_wire() && board_tool && r.status == 0 && !args.empty() && (args[0] == "reset" || args[0] == "set"))
    sync_wire_record();
  return r;
}

std::string BoardTest::sim(const std::vector<std::string> &args) {
  const Result r = exec(bin("jtag-sim"), "jtag-sim", args);
  EXPECT_EQ(r.status, 0) << "jtag-sim failed: " << r.err;
  return r.out;
}

std::vector<std::string> BoardTest::trace() { return split_lines(read_file(dir_ / "trace")); }

void BoardTest::clear_trace() {
  std::error_code ec;
  fs::remove(dir_ / "trace", ec);
}

}  // namespace e2e
