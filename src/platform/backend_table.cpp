// The backends JTAG_PLATFORM can name.  A new adapter is a line driver in a
// folder of its own and one row here.
#include "platform/backend_table.h"

#include <iterator>

#include "backends/rbb/rbb_client.h"
#include "backends/sim/sim_backend.h"

namespace jtag {
namespace {

constexpr BackendEntry kBackends[] = {
    {.scheme = "sim", .usage = "sim, sim:DIR", .open = sim::open_sim_backend},
    {.scheme = "rbb", .usage = "rbb:HOST:PORT", .open = rbb::open_rbb_backend},
};

}  // namespace

std::span<const BackendEntry> backend_table() { return kBackends; }

}  // namespace jtag
