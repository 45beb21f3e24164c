#include "support/fake_tap.h"

#include "base/error.h"

namespace fake {
namespace {

using jtag::TapState;
using S = TapState;

// IEEE 1149.1's state diagram: the state after a rising TCK edge with TMS
// 0 and with TMS 1, one row per state in TapState's order.
struct Next {
  TapState from, on0, on1;
};
constexpr Next kDiagram[] = {
    {S::TestLogicReset, S::RunTestIdle, S::TestLogicReset},
    {S::RunTestIdle, S::RunTestIdle, S::SelectDRScan},
    {S::SelectDRScan, S::CaptureDR, S::SelectIRScan},
    {S::CaptureDR, S::ShiftDR, S::Exit1DR},
    {S::ShiftDR, S::ShiftDR, S::Exit1DR},
    {S::Exit1DR, S::PauseDR, S::UpdateDR},
    {S::PauseDR, S::PauseDR, S::Exit2DR},
    {S::Exit2DR, S::ShiftDR, S::UpdateDR},
    {S::UpdateDR, S::RunTestIdle, S::SelectDRScan},
    {S::SelectIRScan, S::CaptureIR, S::TestLogicReset},
    {S::CaptureIR, S::ShiftIR, S::Exit1IR},
    {S::ShiftIR, S::ShiftIR, S::Exit1IR},
    {S::Exit1IR, S::PauseIR, S::UpdateIR},
    {S::PauseIR, S::PauseIR, S::Exit2IR},
    {S::Exit2IR, S::ShiftIR, S::UpdateIR},
    {S::UpdateIR, S::RunTestIdle, S::SelectDRScan},
};

TapState next(TapState s, bool tms) {
  for (const Next &n : kDiagram)
    if (n.from == s) return tms ? n.on1 : n.on0;
  return s;
}

// A shift register: TDO is bit 0, TDI enters at the top.
void shift_in(jtag::BitVector &r, bool tdi) {
  for (size_t i = 0; i + 1 < r.size(); ++i) r.set(i, r.get(i + 1));
  r.set(r.size() - 1, tdi);
}

}  // namespace

FakeTap::FakeTap(TapModel model) : model_(model), instruction_(model.idcode_instruction), ir_(model.ir_length) {}

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
    case S::TestLogicReset: instruction_ = model_.idcode_instruction; break;
    case S::CaptureIR: ir_ = jtag::BitVector::from_u64(0x1, model_.ir_length); break;
    case S::ShiftIR:
      tdo = ir_.get(0);
      shift_in(ir_, tdi);
      break;
    case S::UpdateIR: instruction_ = ir_.to_u64(); break;
    case S::CaptureDR: dr_ = bypassed() ? jtag::BitVector(1) : jtag::BitVector::from_u64(model_.idcode, 32); break;
    case S::ShiftDR:
      tdo = dr_.get(0);
      shift_in(dr_, tdi);
      break;
    default: break;
  }
  state_ = next(state_, tms);
  if (state_ == S::TestLogicReset) instruction_ = model_.idcode_instruction;
  return tdo;
}

bool FakeLineDriver::clock(bool tms, bool tdi) {
  if (gone_) throw jtag::PlatformError("the fake wire is gone");
  ++clocks_;
  last_tms_ = tms;
  last_tdi_ = tdi;
  return tap_.clock(tms, tdi);
}

void FakeLineDriver::set_trst(bool asserted) {
  if (!with_trst_) return LineDriver::set_trst(asserted);
  if (gone_) throw jtag::PlatformError("the fake wire is gone");
  tap_.set_trst(asserted);
}

void FakeLineDriver::finish() {
  if (gone_) throw jtag::PlatformError("the fake wire is gone");
  ++finishes_;
}

}  // namespace fake
