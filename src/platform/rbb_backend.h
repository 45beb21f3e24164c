// JTAG_PLATFORM=rbb:HOST:PORT: the commands drive a remote_bitbang server
// (jtag-sim serve, a simulated design, or an adapter that speaks the same
// protocol) over TCP.
//
// Every TCK is three bytes: TCK low with TMS and TDI, 'R' when TDO is
// wanted, TCK high (the rising edge).  TCKs whose TDO nobody reads are only
// queued; a shift sends all its bytes with many 'R' in flight and reads the
// answers in bulk, so it costs a few round trips however long it is.  A
// recycle shift is the exception: each TDI bit is the TDO bit before it,
// which only the server knows, so it costs a round trip per bit.
//
// remote_bitbang carries the JTAG lines and nothing else: scan-mode
// selection, the scan control register, FPGA registers and the scan-dump
// accelerator fail with one line on standard error and status 1.
//
// The TAP state and the TMS/TDI levels that commands rely on between runs
// are kept here, as the adapter would keep them, in
// $XDG_STATE_HOME/jtagbox/rbb-HOST-PORT.state (else under
// $HOME/.local/state/jtagbox): "jtagbox rbb state 1", then tap=, tms=, tdi=.
// Without that file the TAP is taken to be in Test-Logic-Reset, as after
// power-up.  A run that fails on the wire keeps what it knew before the
// failure; JTAG_Reset brings TAP and record back in step.
//
// A server that refuses, closes, stays silent for 10 s or answers anything
// but '0'/'1' ends the command with one line on standard error and status
// 1; nothing is written to a dump file after that.
#ifndef JTAGBOX_PLATFORM_RBB_BACKEND_H
#define JTAGBOX_PLATFORM_RBB_BACKEND_H

#include <memory>
#include <string>

#include "platform/backend.h"

namespace jtag {

inline constexpr int kRbbTimeoutSeconds = 10;

// For a JTAG_PLATFORM value "rbb:HOST:PORT": the backend, connected.  Any
// failure ends the process with one line on standard error and status 1.
std::unique_ptr<Backend> make_rbb_backend(const std::string &host_and_port);

}  // namespace jtag

#endif
