// JTAG_PLATFORM=sim or sim:DIR: the simulated board as a backend.  The board
// (its lock and its state) is taken when the backend opens and saved by the
// backend's finish() at the end of a run that went well; a run that ends
// any other way leaves the state of the run before it.
//
// The board's TAPs and lines are the TAP record of this backend: the board
// keeps them itself as the lines move, so a record is read from the TAP the
// scan mode routes and needs no saving of its own.
#ifndef JTAGBOX_BACKENDS_SIM_SIM_BACKEND_H
#define JTAGBOX_BACKENDS_SIM_SIM_BACKEND_H

#include <functional>
#include <string>

#include "backends/backend.h"
#include "backends/backend_arguments.h"

namespace jtag::sim {

// Its one key, dir (sim:DIR, sim:dir=DIR), names the board's directory;
// without it, the default board (in the user's state directory).  Throws
// PlatformError.
Backend open_sim_backend(const BackendArguments &arguments);

// For a process that takes the board again and again (jtag-serve): its
// wait for the board's lock ends when `give_up` says so.
void set_sim_lock_wait(std::function<bool()> give_up);

// For a library caller whose every call is a run (the Python module): the
// board a run saved stays loaded and its database open, so that the next
// run on the same folder goes on from it, unless another process (a
// command between two calls) changed the board meanwhile: then it is
// loaded anew.  The lock is held only while a run is, as always.
void keep_boards_between_runs(bool keep);

}  // namespace jtag::sim

#endif
