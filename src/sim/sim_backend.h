// The simulated board as a platform backend.  The board is loaded when the
// backend is made and saved when the process ends normally (exit or return
// from main); a process that dies leaves the state of the run before it.
#ifndef JTAGBOX_SIM_SIM_BACKEND_H
#define JTAGBOX_SIM_SIM_BACKEND_H

#include <filesystem>
#include <memory>

#include "platform/backend.h"

namespace jtag::sim {

// Opens the board in `dir`, or prints one line on standard error and exits
// with status 1.
std::unique_ptr<Backend> make_sim_backend(const std::filesystem::path &dir);

}  // namespace jtag::sim

#endif
