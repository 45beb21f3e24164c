// jtagbox: one executable, twenty commands, chosen by the name it was
// started under.  A name that is no command does nothing and exits 0.
#include <cstdio>

#include "main/cli.h"
#include "main/commands.h"

int main(int argc, char **argv) {
  const jtagbox::CommandHandler handler = jtagbox::find_command(argc > 0 ? argv[0] : nullptr);
  if (handler == nullptr) return 0;
  // Line-buffered even into a pipe, so that every complete line is out before
  // the reset watchdog can end the process from its signal handler.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return cli::finish(handler(argc, argv));
}
