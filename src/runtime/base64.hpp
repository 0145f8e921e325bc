// Base64 through the module's `base64` global, without the copies the obvious Python spends:
// encoding writes the text straight into a str (no intermediate bytes), decoding a str hands
// it to binascii as it is (no ASCII bytes copy). The shortcut is taken only while the global
// is still the standard module with its standard function, and the binascii codec that this
// function looks up when it runs is still the standard one; otherwise the global's own
// function is called, so a host that replaces any of them is honoured. Results are those of the
// standard functions; text that is not ASCII, or that fails to decode, goes through the
// standard function itself, so its errors come with their context and frames.
#pragma once

#include "runtime/ref.hpp"

namespace rt {

bool base64_ready();

// base64.b64encode(data).decode("utf-8"), `base64` being the module global's value.
Ref b64encode_text(PyObject* base64, PyObject* data);

// base64.b64decode(text), `base64` being the module global's value.
Ref b64decode(PyObject* base64, PyObject* text);

}  // namespace rt
