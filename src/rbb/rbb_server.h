// jtag-sim serve: the simulated board on the wire, as a remote_bitbang
// server (the protocol of OpenOCD's remote_bitbang adapter driver; the bytes
// are in backends/rbb/rbb_protocol.h).  What the board does with them:
//   '0'..'7'  TCK, TMS, TDI; the TAPs act on each rising TCK edge
//   'R'       answered '0' or '1': what TDO presents now
//   't' 'u'   TRST asserted: every TAP goes to Test-Logic-Reset at once
//   'r' 's'   TRST released; SRST has nothing to reset here
//   'B' 'b' 'Z' 'z'  the blink LED and sleeps: nothing to do
//   'Q'       the client is done: the board is saved and let go at once
// Any other byte drops the client with one line on standard error
// ("jtag-sim serve: dropped a client that sent 0xNN, ...").
//
// The server serves the chain the board's scan mode selects, with the very
// device models the commands use.  One client at a time; others wait in the
// listen queue.
//
// The board (its lock and its state) is held only while a client is busy
// with it.  The server takes it when a byte from the client needs it, and
// saves it and lets the lock go when the client leaves, says 'Q', is
// dropped, or falls idle: 150 ms with no byte from it and every
// answer handed to the socket.  So a command on the same board waits at
// most about that long behind an idle OpenOCD session, and the session goes
// on when it speaks again: the server takes the board back (waiting for the
// lock as a command does, kLockWaitSeconds at most, then dropping the
// client with one line) with what the command left in it, and the client's
// TCK level as the client last drove it.  The board is always saved before
// the lock goes, and an answer leaves only after every byte before it acted
// on the board under the lock: a client that read its answer and said 'Q'
// has every effect of its bits saved for whoever takes the board next.
//
// What one client can cost the server is bounded.  Bytes are read from it
// only while the answers it is owed fit in 64 KiB (each byte
// asks for at most one answer); the answers go out with non-blocking sends.
// A client whose owed answers have not moved for 5 s
// (it stopped reading them) is dropped with one line ("jtag-sim serve:
// dropped a client that left its answers unread for 5 s"), its board saved
// and let go.  SIGINT and SIGTERM end the server well within a second
// whatever the client does, also while it waits for the board's lock; a
// connected client's board is saved first.
#ifndef JTAGBOX_RBB_RBB_SERVER_H
#define JTAGBOX_RBB_RBB_SERVER_H

#include <filesystem>
#include <string>

namespace jtag::sim {

inline constexpr int kDefaultRbbPort = 3335;

// Serves the board in `dir` on 127.0.0.1:`port` (0: a free port) until
// SIGINT or SIGTERM.  Prints the port on the first line of standard output.
// With a `wave` file, every rising TCK edge of every client is recorded
// there as a Value Change Dump (platform/recorders/vcd_writer.h), TDO as the
// board presents it before the edge; the file is complete when a client
// leaves and when the server stops.  A wave file that cannot be written
// stops the server with one line on standard error and status 1.  Returns
// the exit status.
int serve_remote_bitbang(const std::filesystem::path &dir, int port, const std::string &wave = {});

}  // namespace jtag::sim

#endif
