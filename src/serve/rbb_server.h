// A board on the wire as a remote_bitbang server (the protocol of OpenOCD's
// remote_bitbang adapter driver; the bytes are in protocols/rbb_protocol.h).
// What the board does with them:
//   '0'..'7'  TCK, TMS, TDI; the TAPs act on each rising TCK edge
//   'R'       answered '0' or '1': what TDO presents now (a board that tells
//             TDO only on a TCK, jtag-serve's backends: the TDO the
//             rising edge after it samples; see RbbBoard below)
//   't' 'u'   TRST asserted: every TAP goes to Test-Logic-Reset at once
//   'r' 's'   TRST released; SRST as the board has it
//   'B' 'b' 'Z' 'z'  the blink LED and sleeps: nothing to do
//   'Q'       the client is done: the board is saved and let go at once
//   'F' and ten digits  jtagbox's own: the client's TCK rate in Hz (0:
//             unknown), which the board keeps while the client is
//             connected; a non-digit among them drops the client
// Any other byte drops the client with one line on standard error
// ("jtag-sim serve: dropped a client that sent 0xNN, ...").
//
// One client at a time; others wait in the listen queue.  The simulated
// board's side (its lock, its store, `jtag-sim serve`) is serve/sim.
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
// ahead of what the board has acted on, up to 64 MiB: a client may write a
// whole batch before it reads any answer (OpenOCD's remote_bitbang writes on
// a non-blocking socket and gives up at the first write that would block).
// The bytes read are acted on only while the answers they ask for fit in
// 64 KiB (each byte asks for at most one); the answers go out with
// non-blocking sends.
// A client whose owed answers have not moved for 5 s
// (it stopped reading them) is dropped with one line ("jtag-sim serve:
// dropped a client that left its answers unread for 5 s"), its board saved
// and let go.  SIGINT and SIGTERM end the server well within a second
// whatever the client does, also while it waits for the board's lock; a
// connected client's board is saved first.
#ifndef JTAGBOX_SERVE_RBB_SERVER_H
#define JTAGBOX_SERVE_RBB_SERVER_H

#include <optional>

#include "serve/server_common.h"

namespace jtag::serve {

// The board a remote_bitbang session drives: taken when a byte needs it,
// let go when the client does not.  Each call may throw PlatformError,
// which drops the client with one line.
class RbbBoard {
 public:
  virtual ~RbbBoard() = default;
  // TDO as the board presents it now, or nothing when it can tell only on
  // a TCK (a backend's lines): then a read is answered by the edge after it.
  virtual std::optional<bool> tdo_now() = 0;
  // One rising TCK edge; returns TDO sampled before it.  `read`: the client
  // asked for that TDO (a board that defers TCKs must sample it).
  virtual bool rising_edge(bool tms, bool tdi, bool read) = 0;
  // The client's TRST and SRST levels (each reset byte gives both).
  virtual void set_resets(bool trst, bool srst) = 0;
  // The rate the client clocks at (none: unknown), kept across the times
  // the board is let go.
  virtual void set_tck_hz(std::optional<double> hz) = 0;
  virtual bool held() const = 0;
  // Saved (or finished) first, then let go.
  virtual void release() = 0;
};

// One remote_bitbang client on the non-blocking socket `client`, from its
// first byte to its end, as described above.
void serve_rbb_client(int client, RbbBoard &board);

}  // namespace jtag::serve

#endif
