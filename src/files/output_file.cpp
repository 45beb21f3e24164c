#include "files/output_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "main/cli.h"

namespace jtagbox::files {
namespace {

constexpr mode_t kDumpMode = 0777;

[[noreturn]] void report_and_end(const char *command, const char *what, const char *name, int error) {
  std::fprintf(stderr, "%s: %s %s: %s\n", command, what, name, std::strerror(error));
  cli::exit_command(1);
}

// fchmod is not subject to the umask, unlike the mode a file is created
// with.  Only a regular file gets the dump mode.
void set_dump_mode(const char *command, const char *name, std::FILE *file) {
  struct stat st {};
  const int fd = fileno(file);
  if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) return;
  if (::fchmod(fd, kDumpMode) != 0) report_and_end(command, "cannot set mode 0777 on", name, errno);
}

}  // namespace

OutputFile::OutputFile(const char *command, const char *name)
    : command_(command), name_(name), file_(std::fopen(name, "w")) {
  if (file_ == nullptr) {
    std::printf("%s: ERROR, Could not open file %s for writing\n", command, name);
    cli::exit_command(1);
  }
  set_dump_mode(command, name, file_);
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void OutputFile::keep_first_error() {
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
}

void OutputFile::write(const char *text) {
  if (error_ != 0) return;  // the file is lost already; the run goes on
  if (std::fputs(text, file_) == EOF) keep_first_error();
}

void OutputFile::close() {
  if (std::fflush(file_) != 0) keep_first_error();
  if (std::fclose(file_) != 0) keep_first_error();
  file_ = nullptr;
  if (error_ != 0) report_and_end(command_, "cannot write", name_, error_);
}

}  // namespace jtagbox::files
