#include "recorders/wave_recorder.h"

namespace jtag {

WaveRecorder::WaveRecorder(std::unique_ptr<RecordFile> file, TapState start)
    : vcd_(std::move(file), "jtagbox"), now_(start) {}

void WaveRecorder::tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo) {
  vcd_.tck(before, tms, tdi, tdo);
  now_ = next_state(before, tms);
}

void WaveRecorder::shift(TapState before, const BitVector &in, const BitVector &out, bool recycle) {
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    const bool tdi = recycle && i > 0 ? out.get(i - 1) : in.get(i);
    vcd_.tck(before, i + 1 == n, tdi, out.get(i));
  }
  if (n > 0) now_ = next_state(before, true);
}

}  // namespace jtag
