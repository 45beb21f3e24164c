#include "sim/sim_backend.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "sim/board_session.h"

namespace jtag::sim {
namespace {

BoardSession *g_session = nullptr;  // the one board this process holds

void save_at_exit() {
  if (g_session == nullptr) return;
  try {
    g_session->save();
  } catch (const SessionError &e) {
    std::fprintf(stderr, "jtagbox: %s\n", e.what());
    std::fflush(stderr);
    _exit(1);
  }
}

class SimBackend final : public Backend {
 public:
  explicit SimBackend(Board &board) : board_(board) {}

  bool clock(bool tms, bool tdi) override { return board_.clock(tms, tdi); }

  BitVector shift_bulk(const BitVector &in, bool recycle) override {
    if (!board_.chain_is_shifting()) return shift_bits(in, recycle);
    return board_.shift_bulk(in, recycle);
  }

  void reset_tap() override {
    if (board_.faults().reset_hang) {
      // The fault: the reset never comes back.  Only a signal ends this.
      for (;;) ::pause();
    }
    Backend::reset_tap();
  }

  TapState tap_state() override { return board_.tap_state(); }
  bool tms_level() override { return board_.tms_level(); }
  bool tdi_level() override { return board_.tdi_level(); }
  void select_scan_mode(unsigned word) override { board_.select_scan_mode(word); }
  unsigned scan_control() override { return board_.scan_control(); }
  uint8_t fpga_read(uint32_t address) override { return board_.fpga_read(address); }
  void fpga_write(uint32_t address, uint8_t value) override { board_.fpga_write(address, value); }
  bool set_scan_dump_accelerator(bool on) override { return board_.set_accelerator(on); }

 private:
  Board &board_;
};

}  // namespace

std::unique_ptr<Backend> make_sim_backend(const std::filesystem::path &dir) {
  try {
    g_session = new BoardSession(dir);  // lives to the end of the process
  } catch (const SessionError &e) {
    std::fprintf(stderr, "jtagbox: %s\n", e.what());
    std::exit(1);
  }
  std::atexit(save_at_exit);
  return std::make_unique<SimBackend>(g_session->board());
}

}  // namespace jtag::sim
