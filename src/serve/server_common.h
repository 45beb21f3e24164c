// What the servers of src/serve share: one process serves one client at a
// time, stops on SIGINT/SIGTERM, may record every TCK of every client in
// one --wave file, and says the same things in the same words when it drops
// a client.  The servers' lines for whoever watches them (a client dropped,
// a board that could not be saved) go to the notice sink (base/notice.h),
// which the program sets to write them after its name; their failures are
// thrown as PlatformError for the program to say.
#ifndef JTAGBOX_SERVE_SERVER_COMMON_H
#define JTAGBOX_SERVE_SERVER_COMMON_H

#include <chrono>
#include <optional>
#include <string>

#include "base/error.h"
#include "base/tap_state.h"
#include "base/unique_fd.h"
#include "recorders/vcd_writer.h"

namespace jtag::serve {

// The program's name, which the --wave file records as what wrote it.
void set_program(const std::string &name);

// SIGINT and SIGTERM set the stop flag, which every wait looks at at least
// every 100 ms.
void watch_stop_signals();
bool stop_requested();

// Opens the --wave file; throws PlatformError when it cannot.
void open_wave(const std::string &path);
// The recording, or null without one (or once it failed).
VcdWriter *wave();
// A write to it failed: the server stops, and close_wave() reports it.
void wave_failed(const PlatformError &e);
// Whether what was recorded so far is in the file (true without a wave).
bool wave_written();
// Whether a write to it failed: bits it did not record are not kept either.
bool wave_lost();
// The TAP state after the last TCK recorded.
void note_wave_end_state(TapState state);
// Closes the recording; why it failed (the whole recording is then not
// to be trusted), or nothing.
std::optional<std::string> close_wave();

// A non-blocking listening socket on a numeric address (IPv4 or IPv6) and
// port (0: a free one, stored in `bound_port`); throws PlatformError when
// it cannot listen there.
UniqueFd listen_on(const std::string &address, int port, int &bound_port);

// Both protocols drop a client that leaves its answers unread this long (a
// client that stopped reading would otherwise hold the board for good), and
// one whose board cannot be taken; each says so in the same words.  What is
// said of a request the protocol does not have is each server's own.
inline constexpr int kStalledClientSeconds = 5;
// Sends what the client's socket (non-blocking) takes now of `answers`:
// what went out leaves them, and `moved` (the stall clock) restarts.  False
// when the client is gone.
bool send_answers(int fd, std::string &answers, std::chrono::steady_clock::time_point &moved);
void report_stalled_client();
void report_client_without_board(const std::string &why);

}  // namespace jtag::serve

#endif
