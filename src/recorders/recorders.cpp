#include "recorders/recorders.h"

#include <cerrno>
#include <cstdlib>

#include "recorders/svf_recorder.h"
#include "recorders/wave_recorder.h"

namespace jtag {
namespace {

const char *setting(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

RecorderFiles open_recorder_files() {
  RecorderFiles files;
  if (const char *wave = setting("JTAG_WAVE"))
    files.wave = std::make_unique<RecordFile>(wave, "waveform", RecordFile::Mode::Replace);
  if (const char *svf = setting("JTAG_SVF"))
    files.svf = std::make_unique<RecordFile>(svf, "SVF record", RecordFile::Mode::Append);
  return files;
}

std::vector<std::unique_ptr<TapObserver>> start_recorders(RecorderFiles files, const TapRecord &start) {
  std::vector<std::unique_ptr<TapObserver>> recorders;
  if (files.wave) recorders.push_back(std::make_unique<WaveRecorder>(std::move(files.wave), start.state));
  if (files.svf)
    recorders.push_back(
        std::make_unique<SvfRecorder>(std::move(files.svf), start.state, program_invocation_short_name));
  return recorders;
}

}  // namespace jtag
