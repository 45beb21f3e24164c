#include "support/e2e.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace e2e {
namespace fs = std::filesystem;

std::string backend() {
  const char *b = std::getenv("JTAGBOX_E2E_BACKEND");
  return b != nullptr && *b != '\0' ? b : "sim";
}

bool over_wire() {
  const std::string b = backend();
  return b == "rbb" || b == "xvc" || b == "xvcpeer" || b == "ftdi";
}
bool over_probe() { return backend() == "ftdi"; }
bool backend_has_trst() { return backend() != "xvc" && backend() != "xvcpeer"; }

// The JTAG_PLATFORM scheme of a wire backend.
static std::string wire_scheme() { return backend() == "xvcpeer" ? "xvc" : backend(); }

fs::path bin(const std::string &name) {
  const char *p = std::getenv("JTAGBOX_PREFIX");
  return (p != nullptr ? fs::path(p) : fs::path("test-prefix")) / "bin" / name;
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

mode_t file_mode(const fs::path &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void BoardTest::SetUp() {
  const std::string b = backend();
  ASSERT_TRUE(b == "sim" || over_wire()) << "JTAGBOX_E2E_BACKEND=" << b
                                         << " names no backend this suite can reach (sim, rbb, xvc, xvcpeer, ftdi)";
  char tmpl[] = "/tmp/jtagbox-e2e-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  env_["JTAG_PLATFORM"] = "sim:" + (dir_ / "board").string();
  env_["JTAG_TRACE"] = (dir_ / "trace").string();
  env_["XDG_STATE_HOME"] = (dir_ / "state").string();
  if (b == "xvc") {
    ASSERT_NE(server_.start_program("jtag-serve", {"jtag-serve", "--xvc", "0"}, env_["JTAG_PLATFORM"]), 0)
        << "jtag-serve printed no port";
  } else if (b != "sim") {
    ASSERT_NE(server_.start(env_["JTAG_PLATFORM"]), 0) << "jtag-sim serve printed no port";
  }
  if (b == "xvcpeer") {  // vectors of 4 KiB: long scans go out in many shift: requests
    xvc_peer_ = std::make_unique<XvcPeer>(server_.port(), 4096);
    ASSERT_NE(xvc_peer_->port(), 0) << "the test XVC server is not listening";
  }
  if (b == "ftdi") {
    ASSERT_TRUE(probe_.start({"--rbb", "127.0.0.1:" + std::to_string(server_.port()), "--serial", kProbeSerial,
                              "--trst-pin", std::to_string(kProbeTrstPin)}))
        << "ftdi-emulator --daemon did not print UMOCKDEV_DIR and READY";
  }
}

int BoardTest::wire_port() const { return xvc_peer_ ? xvc_peer_->port() : server_.port(); }

void BoardTest::TearDown() {
  probe_.stop();
  if (xvc_peer_) xvc_peer_->stop();
  server_.stop();
  std::error_code ec;
  if (!HasFailure()) fs::remove_all(dir_, ec);
}

void BoardTest::sync_wire_record() {
  // The TAP of the chain is that of the first device the scan mode routes
  // (mode 6 routes none: the controller the lines alone drive).
  const std::vector<std::string> v =
      split_lines(exec(bin("jtag-sim"), "jtag-sim",
                       {"get", "scan_mode", "tms", "tdi", "unrouted_tap", "cpu0.tap", "cpu1.tap", "cpu2.tap",
                        "cpu3.tap", "vnx0.tap", "vnx1.tap", "vnx2.tap", "vnx3.tap"})
                      .out);
  std::string tap = "Test-Logic-Reset", tms = "1", tdi = "1";
  if (v.size() == 12) {
    const unsigned mode = unsigned(std::stoul(v[0], nullptr, 16));
    const size_t first[8] = {4, 4, 4, 5, 6, 7, 3, 8 + ((mode >> 6) & 3)};
    tap = v[first[mode & 7]];
    tms = v[1].substr(v[1].size() - 1);
    tdi = v[2].substr(v[2].size() - 1);
  }
  const std::string name = over_probe() ? std::string("ftdi-0403-6010-") + kProbeSerial + "-A"
                                        : wire_scheme() + "-127.0.0.1-" + std::to_string(wire_port());
  const fs::path record = dir_ / "state/jtagbox/tap-records" / name;
  fs::create_directories(record.parent_path());
  write_file(record, "jtagbox tap record 1\ntap=" + tap + "\ntms=" + tms + "\ntdi=" + tdi + "\n");
}

Result BoardTest::run(const std::string &command, const std::vector<std::string> &args) {
  return exec(bin(command), bin(command).string(), args);
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
  for (char **e = environ; *e != nullptr; ++e)
    if (const char *eq = std::strchr(*e, '='); eq != nullptr) vars[std::string(*e, size_t(eq - *e))] = eq + 1;
  for (const auto &[k, v] : env_) vars[k] = v;
  const bool board_tool = program.filename() == "jtag-sim";
  if (over_wire() && !board_tool) vars["JTAG_PLATFORM"] = wire_scheme() + ":127.0.0.1:" + std::to_string(wire_port());
  if (over_probe() && !board_tool) {
    vars["JTAG_PLATFORM"] = "ftdi:trst=" + std::to_string(kProbeTrstPin);
    for (const auto &[k, v] : probe_.client_environment()) vars[k] = v;
  }
  for (const auto &[k, v] : env) vars[k] = v;
  std::vector<std::string> env_text;
  for (const auto &[k, v] : vars)
    if (!v.empty()) env_text.push_back(k + "=" + v);
  std::vector<char *> argv{const_cast<char *>(argv0.c_str())}, envp;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  for (auto &e : env_text) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  // Standard output and error go to files of their own, read once it ended.
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(runs_++);
  const fs::path out_file = stdout_file_.empty() ? dir_ / (".out-" + tag) : stdout_file_;
  const fs::path err_file = dir_ / (".err-" + tag);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out =
        ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (stdout_file_.empty() ? O_TRUNC : 0), 0600);
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0 || ::chdir(dir_.c_str()) != 0) _exit(126);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::umask(077);  // strict, so that a file of mode 0777 owes it to the command
    ::alarm(120);  // a hung command fails its test, never the suite
    ::execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  Result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (stdout_file_.empty()) r.out = read_file(out_file);
  r.err = read_file(err_file);
  std::error_code ec;
  if (stdout_file_.empty()) fs::remove(out_file, ec);
  fs::remove(err_file, ec);
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
