// The parts of a request both clients build the same way, the reading of a refused reply,
// and the time-out report.
#pragma once

#include "corvessa/image/common/record.hpp"

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <initializer_list>

namespace common {

// {"Authorization": "Bearer " + the text form of self.<token_attribute>}
rt::Ref bearer_headers(PyObject* self, PyObject* token_attribute);

// headers["Content-Type"] = "application/json"
bool add_json_content_type(PyObject* headers);

// The text form of self.base_url followed by the text forms of `tail`, in order.
rt::Ref service_url(PyObject* self, std::initializer_list<PyObject*> tail);

// http_client.post(url, headers=headers, json=body, timeout=timeout)
rt::Ref post_json(const rt::CallFrame& frame, PyObject* url, PyObject* headers, PyObject* body, PyObject* timeout);

// A reply whose status is not 200: `message` is "service status_code: <status>", then
// response.json()["error"]["message"] (through `.get`) when the body can be read that far;
// `error_dict` is the decoded body, or None when reading it raised an Exception.
bool read_refusal(PyObject* response, PyObject* status, rt::Ref& message, rt::Ref& error_dict);

// The read time-out: the record "任务处理超时", then SERVICE_TIMEOUT.
rt::Ref report_timeout(const CallContext& context);

}  // namespace common
