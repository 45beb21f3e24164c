// The recorders a process runs, chosen by the environment at the first
// platform operation; their files are opened before the board is taken, so
// a file that cannot be a record ends the command before it holds the
// board:
//   JTAG_WAVE=FILE  every TCK as a Value Change Dump (wave_recorder.h)
//   JTAG_SVF=FILE   SVF statements appended for what the process did
//                   (svf_recorder.h)
// An empty value is the same as none.
#ifndef JTAGBOX_RECORDERS_RECORDERS_H
#define JTAGBOX_RECORDERS_RECORDERS_H

#include <memory>
#include <vector>

#include "recorders/record_file.h"
#include "recorders/tap_observer.h"

namespace jtag {

// The files the environment names, opened (none for a variable unset or
// empty).  Throws PlatformError when one cannot be opened.
struct RecorderFiles {
  std::unique_ptr<RecordFile> wave, svf;
};
RecorderFiles open_recorder_files();

// The recorders writing to those files, from the TAP state the board is in.
std::vector<std::unique_ptr<TapObserver>> start_recorders(RecorderFiles files, const TapRecord &start);

}  // namespace jtag

#endif
