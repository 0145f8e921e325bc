// Gathering reference images from what a caller holds: an http(s) link, a file path, bytes,
// or a list mixing these. Other types, missing paths and empty downloads add nothing;
// a download or read that raises propagates to the caller's handler.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

namespace rt {

struct ReferenceRules {
    // How `os` is reached: imported at call time through this `__import__` (just before the
    // first path test of a single str, or once before the loop over a list), or, when
    // nullptr, looked up as the module global `os` at each test.
    PyObject* import;
    PyObject* open;            // the built-in open
    Ref (*element)(PyObject* image);  // the list element made of one image
};

bool reference_names_ready();

// A new list of elements, in the order of the images in `files`.
Ref gather_references(const Call& call, PyObject* files, const ReferenceRules& rules);

}  // namespace rt
