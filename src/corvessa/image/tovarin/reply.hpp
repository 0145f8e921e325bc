// Decoding a status-200 images reply into a result.
#pragma once

#include "corvessa/image/common/record.hpp"

#include "runtime/ref.hpp"

namespace tovarin {

// The result of generate_image for a status-200 reply (already decoded from JSON).
rt::Ref decode_reply(const common::CallContext& context, PyObject* reply);

}  // namespace tovarin
