// The files of the scan dumps and of the raw shift.
//
// Output dump file: opened with mode "w" right after the arguments are
// checked (before any input file and any TAP activity), then chmod 0777
// whatever the umask.  After the shift it receives the dump text with one
// fputs and nothing before or after it: no header, no line end.  A failure
// after the open leaves it empty.
//
// Input pattern file: opened with mode "r" after the output file.  One fgets
// into a buffer of (length + 3) / 4 + 1 bytes reads at most (length + 3) / 4
// characters of the first line, stopping after a newline, which then stays in
// the pattern.  The rest of the file is never read; the text is not checked,
// trimmed or padded.
//
// Choices of our own:
//   - An empty file (no first line at all) gives the empty pattern, which
//     the platform pads with zeros: the buffer is cleared before the read.
//   - The buffer is never smaller than one byte, and its size is computed in
//     64 bits, so a negative length or one near 2^31 cannot overflow it.
#ifndef JTAGBOX_SCANDUMP_DUMP_FILES_H
#define JTAGBOX_SCANDUMP_DUMP_FILES_H

#include <cstdio>

namespace jtagbox::dump {

// Opens the output dump file and sets its mode to 0777.  On failure prints
// "<command>: ERROR, Could not open file <name> for writing\n" and returns
// nullptr.
std::FILE *open_output(const char *command, const char *name);

// Opens an input pattern file.  On failure prints
// "<command>: ERROR, Could not open file <name> for reading\n" and returns
// nullptr.
std::FILE *open_input(const char *command, const char *name);

// Reads the pattern for a shift of `length` bits and closes the file.  With
// `echo` and debug on, prints "Inchain = %s \n".  The result is malloc()ed.
char *read_pattern(std::FILE *in, int length, bool echo);

// The pattern used without an input file: "0", which the platform pads with
// zeros to the full length.
char *zero_pattern();

// Writes the dump text with one fputs and closes the file.
void write_dump(std::FILE *out, const char *hex);

}  // namespace jtagbox::dump

#endif
