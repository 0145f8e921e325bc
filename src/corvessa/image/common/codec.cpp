// Base64 of images through the module's `base64` global.
#include "corvessa/image/common/codec.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/base64.hpp"
#include "runtime/globals.hpp"

namespace common {

using rt::Ref;

Ref encode_base64(const rt::CallFrame& frame, PyObject* image) {
    Ref base64 = rt::global(frame, constants.base64);
    return base64 ? rt::b64encode_text(base64.get(), image) : Ref{};
}

Ref decode_base64(const rt::CallFrame& frame, PyObject* text) {
    Ref base64 = rt::global(frame, constants.base64);
    return base64 ? rt::b64decode(base64.get(), text) : Ref{};
}

}  // namespace common
