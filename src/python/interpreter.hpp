// Facts about the running interpreter that the registration depends on.
#pragma once

namespace quorel::python {

// Whether the running interpreter is at least major.minor, read once per process.
bool running_at_least(int major, int minor);

// The type objects are process-wide and belong to the main interpreter; a sub-interpreter
// importing the module is refused with ImportError instead of being handed them.
void refuse_sub_interpreters();

}  // namespace quorel::python
