// The command-line conventions every command shares.
//
// The option scan runs once over the words after the command name, left to
// right; each word is decided when it is reached, and a word that ends the
// process (-h, a malformed option, an invalid value) does so at once.
//   - A word beginning with '-' is an option, known by its second character
//     alone (-debug is -d, -help is -h).  Options with a value need '=' as
//     the third character.  Unknown letters and a lone "-" are ignored.
//   - Any other word is positional.  A command either takes it as a single
//     value (the last one wins) or lets it open an argument group: the words
//     after it are the group's further members whatever they look like.
// Messages go to standard output with puts/printf; errors end with status 1,
// -h with status 0.
#ifndef JTAGBOX_MAIN_CLI_H
#define JTAGBOX_MAIN_CLI_H

#include <functional>
#include <string>

#include "base/error.h"

namespace cli {

// Called for each option word.
using OptionHandler = std::function<void(const char *word)>;
// Called for a positional word with the words from it to the end
// (`words[0]` is the positional word, `remaining` counts them all); returns
// how many words it took (at least 1).
using PositionalHandler = std::function<int(char *const *words, int remaining)>;

void scan(int argc, char **argv, const OptionHandler &on_option, const PositionalHandler &on_positional);

// A positional handler for an argument group of `size` words: `take` gets
// the group's words and how many of them are present (fewer than `size` when
// the group runs past the last word).
PositionalHandler group_of(int size, std::function<void(char *const *words, int present)> take);

inline char letter(const char *word) { return word[0] == '-' ? word[1] : '\0'; }
inline bool has_equals(const char *word) { return word[1] != '\0' && word[2] == '='; }

// -d sets debug_level to 1; -d=<level> reads it with "-d=%d" (no number
// leaves it as it was).
void set_debug_level(const char *word);

// Handles the common options: 'd' sets the debug level; 'h' calls
// `print_usage` and exits with status 0.  Returns true when the word was one
// of them.
bool common_option(const char *word, const std::function<void()> &print_usage);
// The same, with a usage text written with puts.
bool common_option(const char *word, const char *usage);

// Every command ends here (main returns through finish() too): the platform
// confirms that the command's effect is on the board, standard output is
// flushed, and a failure of either turns the status into 1 with one line on
// standard error.
int finish(int status);
[[noreturn]] void exit_command(int status);

// The end of the board's run: true when the backend confirmed it (or none
// was used), else false after one line "jtagbox: WHY" on standard error.
// finish() ends here; so do the tools beside the commands.
bool end_board_run();
// A failure of the board where the engine has no error to return (the
// platform calls, jtag_platform.h): one line "jtagbox: WHY" on standard
// error, the run left unconfirmed, status 1.  The commands and the tools
// set it as the engine's failure handler (platform/run_end.h) first.
[[noreturn]] void end_on_board_failure(const jtag::PlatformError &failure);

// puts(message), puts(usage), exit_command(1).  A null usage prints the
// message only.
[[noreturn]] void fail(const char *message, const char *usage = nullptr);
// puts(usage), exit_command(0).
[[noreturn]] void help(const char *usage);

// Reads a number with "%d"; false (value untouched) when the word does not
// begin with one.
bool read_int(const char *word, int &value);

// For an option such as -f=<name>: the text after "-X=" up to the first
// blank, as sscanf reads it with `format` (e.g. "-f=%s"); "" when nothing
// follows the '='.
std::string option_value(const char *word, const char *format);

// printf when debug_level is non-zero: the progress and diagnostic lines.
void debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cli

#endif
