// Base64 through the module's `base64` global, without the copies the obvious Python spends:
// encoding writes the text straight into a str (no intermediate bytes), decoding a str hands
// it to binascii as it is (no ASCII bytes copy). Each call looks `b64encode`/`b64decode` up on
// the global, once, as Python does, and takes the shortcut only when what that function would
// run is provably the standard library's own, decided from the objects at that moment:
// - the function is a plain Python function whose code equals the code of the standard
//   library's own base64.py (read from its file at load), with the standard defaults;
// - the `binascii` it finds when it runs (its globals, then its builtins) is a module whose
//   `b2a_base64`/`a2b_base64` is the C function of the binascii extension itself;
// - for decoding, its `_bytes_from_decode_data` is the standard function too, finding the
//   interpreter's own `isinstance` and `str`.
// Anything else is called as Python calls it. Text that is not ASCII, or that fails to decode,
// goes through the function itself, so its errors come with their context and frames.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

bool base64_ready();

// base64.b64encode(data).decode("utf-8"), `base64` being the module global's value.
Ref b64encode_text(PyObject* base64, PyObject* data);

// base64.b64decode(text), `base64` being the module global's value.
Ref b64decode(PyObject* base64, PyObject* text);

}  // namespace rt
