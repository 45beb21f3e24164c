// JTAG_PLATFORM=xvc:HOST:PORT (or xvc:host=HOST,port=PORT): the commands
// drive a Xilinx Virtual Cable 1.0 server (jtag-serve --xvc, Xilinx's
// xvcserver, a board's XVC daemon) over TCP.  HOST may be a name, an IPv4
// address or a bracketed IPv6 address; PORT is 1..65535.
//
// Each run connects and asks getinfo: for the longest vector the server
// takes (at most kMaxVectorBytes are used, whatever it offers).  TCKs are
// gathered into shift: requests as long as that allows; a request goes out
// only when one is full, when a TDO is needed before the command can go on
// (clock(), a read shift, the oldest deferred shift collected), or at the
// end.  Deferred shifts (queue_shift/collect_shift) ride in the same
// requests, so jtag-svf's pipelined checks cost no extra round trips.
//
// Every answer must be exactly the TDO vector of its request: a server that
// has not taken a request and answered it in full within kSilenceSeconds
// (getinfo: too), closes the connection, answers getinfo:
// with anything but "xvcServer_v1.0:<bytes>\n", or sends a byte nobody
// asked for (seen before each request and while the run ends) ends the
// command with one line on standard error and status 1.
//
// XVC carries TCK, TMS, TDI and TDO only: no TRST, no board services.  The
// TAP record lives in the user's state directory (backends/tap_record_file.h),
// one per server, named xvc-HOST-PORT.
#ifndef JTAGBOX_BACKENDS_XVC_XVC_CLIENT_H
#define JTAGBOX_BACKENDS_XVC_XVC_CLIENT_H

#include <cstddef>
#include <cstdint>

#include "backends/backend.h"
#include "backends/backend_arguments.h"

namespace jtag::xvc {

inline constexpr int kSilenceSeconds = 10;
inline constexpr size_t kMaxVectorBytes = size_t{1} << 20;

// Its keys are host and port, both needed.  Throws PlatformError.
Backend open_xvc_backend(const BackendArguments &arguments);

// The shift: requests sent by this process so far (for the benchmark).
uint64_t shift_requests_sent();

}  // namespace jtag::xvc

#endif
