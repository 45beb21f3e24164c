// A Value Change Dump (IEEE 1364) of the JTAG lines, written as the TCKs
// happen.  Four one-bit wires, `tck`, `tms`, `tdi` and `tdo`, and `state`,
// the TAP controller's state as a string (GTKWave's string extension of
// VCD), all in module `jtag`.
//
// Time: one TCK every 1 us, with a timescale of 500 ns.  TCK number k
// (from 0) falls at time 2k, where TMS, TDI, TDO and the state take the
// values of that TCK, and rises at 2k + 1, where the TAP samples TMS and
// TDI and a decoder samples TDO.  `state` is the state the controller is in
// before that rising edge.  A TDO that the platform did not read on that
// TCK is `x`.  After the last TCK, TCK falls once more and `state` shows
// where the controller ended.
#ifndef JTAGBOX_RECORDERS_VCD_WRITER_H
#define JTAGBOX_RECORDERS_VCD_WRITER_H

#include <cstdint>
#include <memory>
#include <optional>

#include "base/tap_state.h"
#include "recorders/record_file.h"

namespace jtag {

class VcdWriter {
 public:
  // Writes the header; `program` names the writer in it.
  VcdWriter(std::unique_ptr<RecordFile> file, std::string_view program);

  void tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo);
  // The state the controller ends in, then the file is closed.
  void close(TapState end);
  // Everything so far reaches the file (the server between clients).
  void flush();

  uint64_t tck_count() const { return count_; }

 private:
  void fall(TapState s, char tms, char tdi, char tdo);
  void time(uint64_t t);
  void level(char id, char value, char &last);
  void state(TapState s);

  std::unique_ptr<RecordFile> file_;
  uint64_t count_ = 0;
  char tck_ = '?';
  char tms_ = '?';
  char tdi_ = '?';
  char tdo_ = '?';
  std::optional<TapState> state_;
};

}  // namespace jtag

#endif
