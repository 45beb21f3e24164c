#include "platform/backend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/rbb_backend.h"

#include "sim/board_session.h"
#include "sim/sim_backend.h"

namespace jtag {

BitVector Backend::shift_bits(const BitVector &in, bool recycle) {
  const size_t n = in.size();
  BitVector out(n);
  bool previous_tdo = false;
  for (size_t i = 0; i < n; ++i) {
    const bool tdi = (recycle && i > 0) ? previous_tdo : in.get(i);
    previous_tdo = clock(i + 1 == n, tdi);
    out.set(i, previous_tdo);
  }
  return out;
}

void Backend::reset_tap() {
  const bool tdi = tdi_level();
  for (int i = 0; i < 5; ++i) pulse(true, tdi);
}

namespace {

std::unique_ptr<Backend> make_backend() {
  const char *value = std::getenv("JTAG_PLATFORM");
  bool is_sim = false;
  std::filesystem::path dir;
  try {
    dir = sim::sim_dir_for_platform(value, is_sim);
  } catch (const sim::SessionError &e) {
    std::fprintf(stderr, "jtagbox: %s\n", e.what());
    std::exit(1);
  }
  if (is_sim) return sim::make_sim_backend(dir);
  if (std::strncmp(value, "rbb:", 4) == 0) return make_rbb_backend(value + 4);
  std::fprintf(stderr, "jtagbox: JTAG_PLATFORM=%s names no known platform (use sim, sim:DIR or rbb:HOST:PORT)\n",
               value);
  std::exit(1);
}

}  // namespace

Backend &backend() {
  static std::unique_ptr<Backend> instance = make_backend();
  return *instance;
}

}  // namespace jtag
