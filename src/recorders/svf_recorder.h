// JTAG_SVF=FILE: each process appends SVF statements for what it did on the
// wire (the rules are in svf_writer.h), so a sequence of commands becomes
// one file an SVF player can replay and check.
#ifndef JTAGBOX_RECORDERS_SVF_RECORDER_H
#define JTAGBOX_RECORDERS_SVF_RECORDER_H

#include <memory>
#include <string>
#include <string_view>

#include "recorders/record_file.h"
#include "recorders/svf_writer.h"
#include "recorders/tap_observer.h"

namespace jtag {

class SvfRecorder : public TapObserver, private SvfSink {
 public:
  // Appends to `file`, opened to be appended to.  `program` names the
  // process in the record.  Throws PlatformError.
  SvfRecorder(std::unique_ptr<RecordFile> file, TapState start, std::string_view program);

  void tck(TapState before, bool tms, bool tdi, std::optional<bool> tdo) override {
    writer_.tck(before, tms, tdi, tdo);
  }
  void shift(TapState before, const BitVector &in, const BitVector &out, bool recycle) override {
    writer_.shift(before, in, out, recycle);
  }
  void restart(const TapRecord &record) override { writer_.restart(record.state); }
  void note(std::string_view text) override { writer_.note(text); }
  void trst(bool asserted, const TapRecord & /*record*/) override { writer_.trst(asserted); }
  void close() override;

 private:
  void put(std::string_view text) override { file_->put(text); }

  std::unique_ptr<RecordFile> file_;
  SvfWriter writer_;
};

}  // namespace jtag

#endif
