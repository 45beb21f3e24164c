// The host's stand-in for one program of a target build: started as
// PREFIX/bin/NAME (or through a link to it), it runs PREFIX/target/NAME under
// qemu-ppc with the caller's argv[0], its arguments and its environment.
// This is what binfmt_misc with qemu's "preserve argv[0]" flag does, without
// needing it registered on the machine: the end-to-end suite then runs the
// board's programs exactly as it runs the host's, dispatch by argv[0]
// included.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef JTAGBOX_TARGET_ROOT
#define JTAGBOX_TARGET_ROOT "/usr/powerpc-linux-gnu"
#endif

int main(int argc, char **argv) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    std::fprintf(stderr, "emulator-launcher: /proc/self/exe: %s\n", error.message().c_str());
    return 127;
  }
  const std::string target = (self.parent_path().parent_path() / "target" / self.filename()).string();
  std::string emulator = "qemu-ppc";
  std::string root_option = "-L";
  std::string root = JTAGBOX_TARGET_ROOT;
  std::string argv0_option = "-0";
  std::string argv0 = argc > 0 ? argv[0] : "";
  std::string program = target;
  std::vector<char *> args = {emulator.data(),     root_option.data(), root.data(),
                              argv0_option.data(), argv0.data(),       program.data()};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execvp(emulator.c_str(), args.data());
  std::fprintf(stderr, "emulator-launcher: cannot run %s: %s\n", emulator.c_str(), std::strerror(errno));
  return 127;
}
