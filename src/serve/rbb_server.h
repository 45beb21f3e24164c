// jtag-sim serve: the simulated board on the wire, as a remote_bitbang
// server (the protocol of OpenOCD's remote_bitbang adapter driver; the bytes
// are in protocols/rbb_protocol.h).  What the board does with them:
//   '0'..'7'  TCK, TMS, TDI; the TAPs act on each rising TCK edge
//   'R'       answered '0' or '1': what TDO presents now (a board that tells
//             TDO only on a TCK, jtag-serve's line drivers: the TDO the
//             rising edge after it samples; see RbbBoard below)
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

#include <filesystem>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/tap_state.h"
#include "base/unique_fd.h"
#include "recorders/vcd_writer.h"

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

// The parts of a server that jtag-serve shares with `jtag-sim serve`: one
// process serves one client at a time, stops on SIGINT/SIGTERM, and may
// record every TCK of every client in one --wave file.
namespace jtag::serve {

// The name the server's lines on standard error start with.
void set_program(const std::string &name);
const std::string &program();

// SIGINT and SIGTERM set the stop flag, which every wait looks at at least
// every 100 ms.
void watch_stop_signals();
bool stop_requested();

// The --wave file; false after one line on standard error.
bool open_wave(const std::string &path);
// The recording, or null without one (or once it failed).
VcdWriter *wave();
// A write to it failed: the server stops, and close_wave() reports it.
void wave_failed(const PlatformError &e);
// Whether what was recorded so far is in the file (true without a wave).
bool wave_written();
// The TAP state after the last TCK recorded.
void note_wave_end_state(TapState state);
// Closes the recording; the exit status (1 after one line when it failed).
int close_wave();

// A non-blocking listening socket on a numeric address (IPv4 or IPv6) and
// port (0: a free one, stored in `bound_port`); invalid after one line on
// standard error.
UniqueFd listen_on(const std::string &address, int port, int &bound_port);

// Both protocols drop a client that leaves its answers unread this long (a
// client that stopped reading would otherwise hold the board for good), and
// one whose board cannot be taken; each says so in the same words.  What is
// said of a request the protocol does not have is each server's own.
inline constexpr int kStalledClientSeconds = 5;
void report_stalled_client();
void report_client_without_board(const std::string &why);

// The board a remote_bitbang session drives: taken when a byte needs it,
// let go when the client does not.  Each call may throw PlatformError,
// which drops the client with one line.
class RbbBoard {
 public:
  virtual ~RbbBoard() = default;
  // TDO as the board presents it now, or nothing when it can tell only on
  // a TCK (a line driver): then a read is answered by the edge after it.
  virtual std::optional<bool> tdo_now() = 0;
  // One rising TCK edge; returns TDO sampled before it.  `read`: the client
  // asked for that TDO (a board that defers TCKs must sample it).
  virtual bool rising_edge(bool tms, bool tdi, bool read) = 0;
  // The client's TRST and SRST levels (each reset byte gives both).
  virtual void set_resets(bool trst, bool srst) = 0;
  virtual bool held() const = 0;
  // Saved (or finished) first, then let go.
  virtual void release() = 0;
};

// One remote_bitbang client, from its first byte to its end, as described
// above: of `board`, or of the simulated board in `dir`.
void serve_rbb_client(int client, RbbBoard &board);
void serve_rbb_client(int client, const std::filesystem::path &dir);

}  // namespace jtag::serve

#endif
