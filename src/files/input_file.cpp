#include "files/input_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "main/cli.h"

namespace jtagbox::files {

InputFile::InputFile(const char *command, const char *name)
    : command_(command), name_(name), file_(std::fopen(name, "r")) {
  if (file_ == nullptr) {
    std::printf("%s: ERROR, Could not open file %s for reading\n", command, name);
    cli::exit_command(1);
  }
}

InputFile::~InputFile() { close(); }

int InputFile::next_char() {
  errno = 0;
  const int c = std::getc(file_);
  if (c == EOF && std::ferror(file_)) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", command_, name_, std::strerror(errno != 0 ? errno : EIO));
    cli::exit_command(1);
  }
  return c;
}

std::string InputFile::first_line(size_t limit) {
  std::string line;
  while (line.size() < limit) {
    const int c = next_char();
    if (c == EOF) break;
    line.push_back(char(c));
    if (c == '\n') break;
  }
  return line;
}

void InputFile::close() {
  if (file_ != nullptr) std::fclose(file_);  // read only: nothing to lose
  file_ = nullptr;
}

std::string read_pattern(InputFile &in, int length) {
  // The hex digits that hold `length` bits, computed in 64 bits so that a
  // length near 2^31 cannot overflow.
  const int64_t digits = (int64_t{length} + 3) / 4;
  std::string pattern = in.first_line(digits > 0 ? size_t(digits) : 0);
  in.close();
  return pattern;
}

}  // namespace jtagbox::files
