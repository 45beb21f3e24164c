// The board model on its own: the bulk path gives exactly the bits of the
// bit-level path, and leaves the board exactly as it does, on every chain
// shape (one chip, several in series, IR or DR, long chains selected or
// not), with and without recycle.
#include "sim/board.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using jtag::BitVector;
using jtag::sim::Board;
using jtag::sim::StateMap;

BitVector bit_level(Board &b, const BitVector &in, bool recycle) {
  BitVector out(in.size());
  bool previous = false;
  for (size_t i = 0; i < in.size(); ++i) {
    previous = b.clock(i + 1 == in.size(), recycle && i > 0 ? previous : in.get(i));
    out.set(i, previous);
  }
  return out;
}

// Every TAP in Shift-IR or Shift-DR; with `chains`, each chip's long chain
// is its data register (the Vornex clock stopped).
std::unique_ptr<Board> shifting_board(unsigned mode, bool ir, bool chains) {
  StateMap state;
  Board().save(state);
  state.put("scan_mode", std::to_string(mode));
  for (int i = 0; i < 4; ++i) {
    const std::string cpu = "cpu" + std::to_string(i), vnx = "vnx" + std::to_string(i);
    state.put(cpu + ".tap", ir ? "Shift-IR" : "Shift-DR");
    state.put(vnx + ".tap", ir ? "Shift-IR" : "Shift-DR");
    if (!chains) continue;
    state.put(cpu + ".scan_access", "1");
    state.put(cpu + ".ir", "0x80");
    state.put(cpu + ".chain_select", "0x0" + std::to_string(i + 1));
    state.put(vnx + ".scan_access", "1");
    state.put(vnx + ".scan_config", "0x01e0");
    state.put(vnx + ".ir", "0x3e");
  }
  if (chains) state.put("fpga.0xcb1000", "0x01");
  auto board = std::make_unique<Board>();
  board->load(state);
  return board;
}

BitVector pattern(size_t n, unsigned seed) {
  BitVector v(n);
  for (size_t i = 0; i < n; ++i) v.set(i, ((i * 2654435761u + seed) >> 7) & 1u);
  return v;
}

TEST(Board, BulkShiftEqualsBitLevelShiftOnEveryChainShape) {
  for (unsigned mode : {0x01u, 0x00u, 0x02u, 0x47u})
    for (int shape = 0; shape < 3; ++shape)
      for (bool recycle : {false, true})
        for (size_t n : {1u, 7u, 64u, 65u, 300u, 30000u}) {
          const bool ir = shape == 1, chains = shape == 2;
          const auto slow = shifting_board(mode, ir, chains), fast = shifting_board(mode, ir, chains);
          // Exit1, Update, Select-DR (Select-IR), Capture, Shift.
          const std::vector<bool> back =
              ir ? std::vector<bool>{true, true, true, false, false} : std::vector<bool>{true, true, false, false};
          // A plain shift, then one with `recycle` through Update and Capture, then one to show what it left.
          for (int round = 0; round < 3; ++round) {
            const BitVector in = pattern(n, 5u + unsigned(round));
            const BitVector out = fast->shift_bulk(in, recycle && round == 1);
            ASSERT_EQ(bit_level(*slow, in, recycle && round == 1), out)
                << "mode " << mode << " shape " << shape << " recycle " << recycle << " n " << n << " round " << round;
            if (chains && n >= 64) {
              EXPECT_NE(out, BitVector(n)) << "the chains gave nothing but zeros";
            }
            EXPECT_EQ(fast->tap_state(), ir ? jtag::TapState::Exit1IR : jtag::TapState::Exit1DR);
            for (Board *b : {slow.get(), fast.get()})
              for (bool tms : back) b->clock(tms, false);
          }
          StateMap left_slow, left_fast;
          slow->save(left_slow);
          fast->save(left_fast);
          EXPECT_EQ(left_slow.serialize(), left_fast.serialize());
        }
}

}  // namespace
