#pragma once
// The pieces of asyncio that velkorio's native code calls, looked up into a
// module's state when the module is made (velkorio's package imports
// asyncio first) and kept as long as the module.

#include "module_state.h"

namespace velkorio {

// A new reference to module.name, or null with the error set.
PyObject* lookup(const char* module_name, const char* name);

// Looks them up, and interns the names the native code uses. False with
// the error set.
bool init_asyncio_refs(ModuleState& state);

}  // namespace velkorio
