// Traceback entries of the native functions.
#pragma once

#include "runtime/params.hpp"

namespace rt {

// Adds the running function's entry to the traceback of the exception being raised, as the
// interpreter does when an exception reaches a frame; an `except` clause calls it before it
// takes the exception.
void add_frame_to_traceback(const CallFrame& frame);

}  // namespace rt
