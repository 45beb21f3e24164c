// jtagbox: one executable, twenty commands, chosen by the name it was
// started under.  A name that is no command does nothing and exits 0.
#include <cstdio>

#include "main/cli.h"
#include "main/standard_output.h"
#include "programs/command_table.h"

int main(int argc, char **argv) {
  const jtagbox::CommandHandler handler = jtagbox::find_command(argc > 0 ? argv[0] : nullptr);
  if (handler == nullptr) return 0;
  cli::watch_standard_output();
  return cli::finish(handler(argc, argv));
}
