// jtag-serve --xvc: the board JTAG_PLATFORM names, through its backend's
// lines, as a Xilinx Virtual Cable 1.0 server (protocols/xvc_protocol.h).
//
//   getinfo:  answered "xvcServer_v1.0:65536\n": vectors of up to 65536
//             bytes (524288 TCKs) per shift
//   settck:   answered with the period asked: the backends' lines have no
//             clock of their own to set (the simulated board has none at
//             all), so the period a probe really runs at is its own
//   shift:    answered with the TDO vector, in one write
//
// XVC hands over raw TMS/TDI vectors, so the server follows the TAP state
// through them: a run of TCKs in Shift-DR or Shift-IR with TMS low that
// ends with TMS high within the vector goes to the backend's bulk shift
// at once; every other TCK is one clock().  A scan that goes on past the
// end of its vector goes to the bulk shift too, which leaves Shift-xR on
// its last TCK; three more TCKs (Pause-xR, Exit2-xR) bring the TAP back to
// Shift-xR without a Capture or an Update, so nothing the board holds
// differs.  With --wave every TCK is clocked as the client gave it, so the
// wave shows exactly its TCKs.
//
// The board is held as `jtag-sim serve` holds it (serve/rbb_server.h): taken
// for a shift, finished, its TAP record saved and let go when the client
// leaves or has been idle for 150 ms.  One client at a time.  A client that
// leaves an answer unread for 5 s, asks for a shift longer than the vectors
// it was offered, or sends anything that is not an XVC request is dropped
// with one line on standard error; the next one is served.
#ifndef JTAGBOX_SERVE_XVC_SERVER_H
#define JTAGBOX_SERVE_XVC_SERVER_H

#include <cstdint>

namespace jtag::serve {

inline constexpr int kDefaultXvcPort = 2542;
inline constexpr uint32_t kXvcVectorBytes = 65536;

// One XVC client on the non-blocking socket `client`, from its first byte
// to its end, of the board the JTAG_PLATFORM value `platform` names (null:
// the default board).
void serve_xvc_client(int client, const char *platform);

}  // namespace jtag::serve

#endif
