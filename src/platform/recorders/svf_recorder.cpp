#include "platform/recorders/svf_recorder.h"

namespace jtag {

SvfRecorder::SvfRecorder(const std::string &path, TapState start, std::string_view program)
    : file_(path, "SVF record", RecordFile::Mode::Append), writer_(*this, start) {
  writer_.begin(file_.was_empty(), program);
}

void SvfRecorder::close() {
  writer_.end();
  file_.close();
}

}  // namespace jtag
