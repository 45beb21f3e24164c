// JTAG_WAVE=FILE: every TCK of the process as a Value Change Dump (the
// format is in vcd_writer.h), bulk shifts bit by bit like the others.
#ifndef JTAGBOX_RECORDERS_WAVE_RECORDER_H
#define JTAGBOX_RECORDERS_WAVE_RECORDER_H

#include <memory>
#include <string>

#include "recorders/tap_observer.h"
#include "recorders/vcd_writer.h"

namespace jtag {

class WaveRecorder : public TapObserver {
 public:
  // Writes into `file`, opened to be replaced.
  WaveRecorder(std::unique_ptr<RecordFile> file, TapState start);

  void tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo) override;
  void shift(TapState before, const BitVector &in, const BitVector &out, bool recycle) override;
  void restart(const TapRecord &record) override { now_ = record.state; }
  void close() override { vcd_.close(now_); }

 private:
  VcdWriter vcd_;
  TapState now_;
};

}  // namespace jtag

#endif
