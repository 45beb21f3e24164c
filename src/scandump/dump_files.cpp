#include "scandump/dump_files.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "main/cli.h"
#include "platform/heap_text.h"
#include "platform/jtag_platform.h"

namespace jtagbox::dump {

std::FILE *open_output(const char *command, const char *name) {
  std::FILE *out = std::fopen(name, "w");
  if (out == nullptr) {
    std::printf("%s: ERROR, Could not open file %s for writing\n", command, name);
    return nullptr;
  }
  ::chmod(name, 0777);  // not subject to the umask, unlike the mode of creation
  return out;
}

std::FILE *open_input(const char *command, const char *name) {
  std::FILE *in = std::fopen(name, "r");
  if (in == nullptr) std::printf("%s: ERROR, Could not open file %s for reading\n", command, name);
  return in;
}

char *read_pattern(std::FILE *in, int length, bool echo) {
  const int64_t wanted = (int64_t{length} + 3) / 4 + 1;
  const int size = wanted < 1 ? 1 : static_cast<int>(wanted);
  char *pattern = jtag::checked_malloc(size_t(size));
  std::memset(pattern, 0, size_t(size));
  if (std::fgets(pattern, size, in) == nullptr) pattern[0] = '\0';
  if (echo && debug_level) std::printf("Inchain = %s \n", pattern);
  std::fclose(in);
  return pattern;
}

char *zero_pattern() { return cli::copy_word("0"); }

void write_dump(std::FILE *out, const char *hex) {
  std::fputs(hex, out);
  std::fclose(out);
}

}  // namespace jtagbox::dump
