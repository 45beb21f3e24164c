#include "support/fake_tap.h"

namespace fake {
namespace {

using S = jtag::TapState;

// IEEE 1149.1's state diagram: the state after a rising TCK edge with TMS
// 0 and with TMS 1, by index in TapState's order (Test-Logic-Reset,
// Run-Test/Idle, then Select, Capture, Shift, Exit1, Pause, Exit2, Update
// of DR, then of IR).
constexpr int kNext[16][2] = {{1, 0}, {1, 2},  {3, 9},   {4, 5},   {4, 5},   {6, 8},   {6, 7},   {4, 8},
                              {1, 2}, {10, 0}, {11, 12}, {11, 12}, {13, 15}, {13, 14}, {11, 15}, {1, 2}};

// A shift register: TDO is bit 0, TDI enters at the top.
bool shift(jtag::BitVector &r, bool tdi) {
  const bool out = r.get(0);
  for (size_t i = 0; i + 1 < r.size(); ++i) r.set(i, r.get(i + 1));
  r.set(r.size() - 1, tdi);
  return out;
}

}  // namespace

void FakeTap::set_trst(bool asserted) {
  trst_ = asserted;
  if (!asserted) return;
  state_ = S::TestLogicReset;
  instruction_ = model_.idcode_instruction;
}

bool FakeTap::clock(bool tms, bool tdi) {
  if (trst_) return true;  // held in Test-Logic-Reset
  bool tdo = true;         // not shifting: the line rests high
  switch (state_) {
    case S::CaptureIR: ir_ = jtag::BitVector::from_u64(0x1, model_.ir_length); break;
    case S::ShiftIR: tdo = shift(ir_, tdi); break;
    case S::UpdateIR: instruction_ = ir_.to_u64(); break;
    case S::CaptureDR:
      dr_ =
          instruction_ != model_.idcode_instruction ? jtag::BitVector(1) : jtag::BitVector::from_u64(model_.idcode, 32);
      break;
    case S::ShiftDR: tdo = shift(dr_, tdi); break;
    default: break;
  }
  state_ = S(kNext[int(state_)][tms ? 1 : 0]);
  if (state_ == S::TestLogicReset) instruction_ = model_.idcode_instruction;
  return tdo;
}

}  // namespace fake
