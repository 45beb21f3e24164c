// A build without the simulated board (the board's own build, where no
// SQLite library is at hand): JTAG_PLATFORM=sim, or unset, says so.
#include "backends/sim/sim_backend.h"

namespace jtag::sim {

Backend open_sim_backend(std::string_view /*dir*/) {
  throw PlatformError(
      "the simulated board is not part of this build; JTAG_PLATFORM=rbb:HOST:PORT reaches a board over "
      "remote_bitbang");
}

}  // namespace jtag::sim
