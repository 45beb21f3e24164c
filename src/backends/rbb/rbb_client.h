// JTAG_PLATFORM=rbb:HOST:PORT (or rbb:host=HOST,port=PORT): the commands drive a remote_bitbang server
// (jtag-sim serve, a simulated design, or an adapter that speaks the same
// protocol) over TCP.  HOST may be a name, an IPv4 address or a bracketed
// IPv6 address; PORT is 1..65535.
//
// TCKs whose TDO nobody reads are only queued; a shift sends its bytes in
// batches with many TDO reads in flight and takes the answers as they come,
// so it costs a few round trips however long it is.  A recycle shift is the
// exception: each TDI bit is the TDO bit before it, which only the server
// knows, so it costs a round trip per bit.
//
// Every byte the server sends is checked against the TDO reads still
// unanswered: an answer nobody asked for, or anything but '0'/'1', ends the
// command.  The run ends with one more TDO read, answered once the server
// has acted on every byte before it, and only then 'Q': a command exits 0
// only when its effect is on the board.  After 'Q' the client waits up to a
// second for the server to close the connection; a byte that comes in that
// time is one nobody asked for.
//
// Bounds: a server that says nothing for kSilenceSeconds, or that has not
// finished the run within kDeadlineSeconds plus kDeadlineMicrosPerTck for
// every TCK given (a server must average 50,000 TCKs per second), ends the
// command.  Every failure on the wire is one line on standard error and
// status 1; a dump file is then left empty.
//
// remote_bitbang carries the JTAG lines and nothing else: the backend has no
// board services.  The TAP record lives in the user's state directory
// (platform/tap_record_file.h), one per server, named rbb-HOST-PORT.
#ifndef JTAGBOX_BACKENDS_RBB_RBB_CLIENT_H
#define JTAGBOX_BACKENDS_RBB_RBB_CLIENT_H

#include "backends/backend.h"
#include "backends/backend_arguments.h"

namespace jtag::rbb {

inline constexpr int kSilenceSeconds = 10;
inline constexpr int kDeadlineSeconds = 15;
inline constexpr int kDeadlineMicrosPerTck = 20;

// Its keys are host and port, both needed.  Throws PlatformError.
Backend open_rbb_backend(const BackendArguments &arguments);

}  // namespace jtag::rbb

#endif
