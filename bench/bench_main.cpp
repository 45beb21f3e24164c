// jtagbox-bench [--bin DIR] [--quick] [NAME...]
// Runs every registered benchmark (or the named ones) against a fresh
// simulated board each and prints one line per result.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench.h"

extern char **environ;

namespace bench {
namespace {

std::vector<std::pair<std::string, Function>> &registry() {
  static std::vector<std::pair<std::string, Function>> r;
  return r;
}

}  // namespace

Registrar::Registrar(const char *name, Function f) { registry().emplace_back(name, f); }

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
    if (!v.empty()) env_text.push_back(k + "=" + v);
  std::vector<char *> argv{const_cast<char *>(program.c_str())};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (auto &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out_pipe[2];
  if (::pipe(out_pipe) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
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

}  // namespace bench

int main(int argc, char **argv) {
  std::filesystem::path bin = std::filesystem::path(argv[0]).parent_path();
  bool quick = false;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0)
      quick = true;
    else if (std::strcmp(argv[i], "--bin") == 0 && i + 1 < argc)
      bin = argv[++i];
    else
      only.push_back(argv[i]);
  }
  for (const auto &[name, f] : bench::registry()) {
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
    char tmpl[] = "/tmp/jtagbox-bench-XXXXXX";
    bench::Context ctx;
    ctx.bin = std::filesystem::absolute(bin);
    ctx.work = ::mkdtemp(tmpl);
    ctx.quick = quick;
    ctx.env["JTAG_PLATFORM"] = "sim:" + (ctx.work / "board").string();
    f(ctx);
    std::error_code ec;
    std::filesystem::remove_all(ctx.work, ec);
  }
  return 0;
}
