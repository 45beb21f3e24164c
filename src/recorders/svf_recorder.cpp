#include "recorders/svf_recorder.h"

namespace jtag {

SvfRecorder::SvfRecorder(std::unique_ptr<RecordFile> file, TapState start, std::string_view program)
    : file_(std::move(file)), writer_(*this, start) {
  writer_.begin(file_->was_empty(), program);
}

void SvfRecorder::close() {
  writer_.end();
  file_->close();
}

}  // namespace jtag
