// What each kind of chip holds beyond its TAP, IDCODE and BYPASS.
#include "sim/board.h"

namespace jtag::sim {

void add_processor_units(TapDevice & /*cpu*/, Board & /*board*/, int /*index*/) {}

void add_vornex_units(TapDevice & /*vnx*/, Board & /*board*/, int /*index*/) {}

}  // namespace jtag::sim
