// Gathering reference images from what a caller holds: an http(s) link, a file path, bytes,
// or a list mixing these. Other types, missing paths and empty downloads add nothing;
// a download or read that raises propagates to the caller's handler.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <cstdint>

namespace common {

// Where `os` comes from when a path is tested.
enum class OsModule : std::uint8_t {
    // `import os` inside the call: just before the first path test of a single str, or once
    // before the loop over a list.
    imported_in_call,
    // The module global `os`, looked up at each path test.
    module_global,
};

struct ReferenceRules {
    OsModule os;
    PyObject* field = nullptr;  // each element: the image itself, or the pair (field, image) when set
};

// A new list of elements, in the order of the images in `files`.
rt::Ref gather_references(const rt::CallFrame& frame, PyObject* files, const ReferenceRules& rules);

}  // namespace common
