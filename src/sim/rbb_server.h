// jtag-sim serve: the simulated board on the wire, as a remote_bitbang
// server (the protocol of OpenOCD's remote_bitbang adapter driver).
//
// One ASCII byte per action:
//   '0'..'7'  drive TCK, TMS, TDI (bits 2, 1, 0); the TAPs act on each
//             rising TCK edge
//   'R'       read TDO: answered '0' or '1', what TDO presents now
//   'r' 's' 't' 'u'  TRST and SRST (t, u assert TRST: every TAP goes to
//             Test-Logic-Reset at once; SRST has nothing to reset here)
//   'B' 'b'   the blink LED (ignored)   'Z' 'z'  sleep (nothing to wait for)
//   'Q'       end of this client's session
// Any other byte drops the client with one line on standard error; the
// server goes on serving.
//
// The server serves the chain the board's scan mode selects, with the very
// device models the commands use.  It takes the board (its lock and its
// state) when a client connects and saves and releases it when the client
// leaves, so what a client changed is what the next command sees, and the
// other way round.  While a client is connected a command on the same board
// waits for the lock (30 s at most, then it fails with a clear line).  One
// client at a time; others wait in the listen queue.
#ifndef JTAGBOX_SIM_RBB_SERVER_H
#define JTAGBOX_SIM_RBB_SERVER_H

#include <filesystem>

namespace jtag::sim {

inline constexpr int kDefaultRbbPort = 3335;

// Serves the board in `dir` on 127.0.0.1:`port` (0: a free port) until
// SIGINT or SIGTERM.  Prints the port on the first line of standard output.
// Returns the exit status.
int serve_remote_bitbang(const std::filesystem::path &dir, int port);

}  // namespace jtag::sim

#endif
