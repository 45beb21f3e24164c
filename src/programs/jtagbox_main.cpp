// jtagbox: one executable, twenty commands, chosen by the name it was
// started under.  A name that is no command does nothing and exits 0.
#include <cstdio>

#include "main/cli.h"
#include "main/standard_output.h"
#include "platform/run_end.h"
#include "programs/command_table.h"
#include "programs/program_frame.h"

int main(int argc, char **argv) {
  const jtagbox::CommandHandler handler = jtagbox::find_command(argc > 0 ? argv[0] : nullptr);
  if (handler == nullptr) return 0;
  cli::watch_standard_output();
  jtag::set_failure_handler(cli::end_on_board_failure);
  jtag::frame::show_notices_as("jtagbox");
  try {
    return cli::finish(handler(argc, argv));
  } catch (const jtag::PlatformError &e) {  // from the commands' own steps (their memory)
    cli::end_on_board_failure(e);
  }
}
