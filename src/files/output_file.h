// The files the commands write: the scan dumps' and the macro dump's output
// files, the file of JTAG_Shift -o=, and the words JTAG_ReadMem -f= saves.
//
// One rule for all of them: the file is opened with mode "w" (created, or
// truncated to empty) and then given mode 0777, read, write and execute for
// everyone, whatever the umask.  The mode is set on the open file itself,
// so it lands on the file that was opened even if the name is replaced in
// between.  A device or pipe named as the output (/dev/full, say) keeps its
// own mode: 0777 is the mode of a dump, not a change to the system.
//
// The text goes in as the command gives it, nothing before or after.  A
// write that fails is not the end of the command's work on the board: the
// first failure is kept and reported when the file is closed, as one line
// on standard error naming the file and the reason, and status 1.
#ifndef JTAGBOX_FILES_OUTPUT_FILE_H
#define JTAGBOX_FILES_OUTPUT_FILE_H

#include <cstdio>

namespace jtagbox::files {

class OutputFile {
 public:
  // Opens `name` for writing.  When it cannot be opened, prints
  // "<command>: ERROR, Could not open file <name> for writing\n" and ends
  // the command with status 1.  `command` and `name` must outlive the file.
  OutputFile(const char *command, const char *name);
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;

  // Appends `text` (up to its NUL).
  void write(const char *text);
  // Flushes and closes the file; after a failure of any write, of the flush
  // or of the close, ends the command with status 1 after one line on
  // standard error: "<command>: cannot write <name>: <reason>".
  void close();

 private:
  void keep_first_error();

  const char *command_;
  const char *name_;
  std::FILE *file_;
  int error_ = 0;  // errno of the first failure
};

}  // namespace jtagbox::files

#endif
