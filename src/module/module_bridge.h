// The module's side of backends/module_interface.h: the one backend a module
// holds, opened by its open function, behind the C table the module
// exports.  Every call runs the backend's C++ inside a guard: a
// PlatformError (or any other exception) becomes JTAGBOX_MODULE_FAILED and
// its line, memory that could not be had JTAGBOX_MODULE_NO_MEMORY, so that
// nothing unwinds into the engine.
//
// A module is this folder, its backend's folder and the layers below them,
// linked into one shared object with the C++ runtime inside
// (cmake/backends.cmake, MODULE); the entry that cmake writes for it
// defines open_backend().
#ifndef JTAGBOX_MODULE_MODULE_BRIDGE_H
#define JTAGBOX_MODULE_MODULE_BRIDGE_H

#include "backends/backend.h"
#include "backends/backend_arguments.h"

namespace jtag::module {

// The backend of this module (its jtagbox_backend() declaration's OPEN).
// Throws PlatformError.
Backend open_backend(const BackendArguments &arguments);

}  // namespace jtag::module

#endif
