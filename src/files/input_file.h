// The files the commands read: the pattern files of the scan dumps, the
// macro dump and JTAG_Shift -f=, and the words JTAG_WriteMem -f= writes.
//
// Every read is bounded by what the command can use, and a read that fails
// (a directory named as the file, an I/O error) ends the command with one
// line on standard error naming the file and the reason, and status 1.  An
// end of file is no error: what was read up to it is what the file holds.
//
// Pattern file: opened with mode "r" after the output file.  Its pattern is
// the first line as one fgets into a buffer of (length + 3) / 4 + 1 bytes
// reads it: at most (length + 3) / 4 characters, the hex digits that hold
// `length` bits, stopping after a newline, which then stays in the pattern.
// The rest of the file is never read; the text is not checked, trimmed or
// padded.  An empty file gives the empty pattern, which the platform pads
// with zeros; a length of 0 or less reads nothing.
#ifndef JTAGBOX_FILES_INPUT_FILE_H
#define JTAGBOX_FILES_INPUT_FILE_H

#include <cstddef>
#include <cstdio>
#include <string>

namespace jtagbox::files {

class InputFile {
 public:
  // Opens `name` for reading.  When it cannot be opened, prints
  // "<command>: ERROR, Could not open file <name> for reading\n" and ends
  // the command with status 1.  `command` and `name` must outlive the file.
  InputFile(const char *command, const char *name);
  ~InputFile();
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;

  // The next byte, or EOF at the end of the file.  A failed read ends the
  // command: "<command>: cannot read <name>: <reason>" on standard error.
  int next_char();
  // At most `limit` characters of the first line, its newline included
  // when it comes within them.
  std::string first_line(size_t limit);
  void close();

  const char *command() const { return command_; }
  const char *name() const { return name_; }

 private:
  const char *command_;
  const char *name_;
  std::FILE *file_;
};

// The pattern for a shift of `length` bits, read by the pattern-file rule
// above; the file is closed afterwards.
std::string read_pattern(InputFile &in, int length);

}  // namespace jtagbox::files

#endif
