// What each kind of chip holds beyond its TAP, IDCODE and BYPASS.
#include "sim/access_units.h"
#include "sim/board.h"
#include "sim/scan_chains.h"

namespace jtag::sim {

void add_processor_units(TapDevice &cpu, Board &board, int index) {
  cpu.add_unit(make_creg_unit(board, index));
  cpu.add_unit(make_l2_unit(board, index));
  cpu.add_unit(make_processor_chain_unit(board, index));
}

void add_vornex_units(TapDevice &vnx, Board &board, int index) { vnx.add_unit(make_vornex_chain_unit(board, index)); }

}  // namespace jtag::sim
