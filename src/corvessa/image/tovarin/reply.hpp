// The reply handling of the images API: status, records and decoding into a result.
#pragma once

#include "corvessa/image/common/record.hpp"

#include "runtime/ref.hpp"

namespace tovarin {

// The result of generate_image for the service's `response`, the request having started at
// `started` (time.time()): the completion record, then status 200 decoded into an image or a
// failure, any other status refused with the service's message.
rt::Ref handle_reply(const common::CallContext& context, PyObject* response, PyObject* started);

}  // namespace tovarin
