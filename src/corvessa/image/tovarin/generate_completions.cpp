// TovarinClient._generate_completions: "/generations" with a JSON body, or "/edits" with a
// multipart form carrying the reference images; one request record; the response unchanged.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "corvessa/image/common/options.hpp"
#include "corvessa/image/common/record.hpp"
#include "corvessa/image/common/request.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"

namespace tovarin {

using rt::Ref;

namespace {

using Args = rt::Args<params::generate_completions>;

// http_client.post(url, headers=, data=payload, files=files, timeout=)
Ref post_form(const rt::CallFrame& frame, PyObject* url, PyObject* headers, PyObject* payload, PyObject* files,
              PyObject* timeout) {
    Ref client = rt::global(frame, shared.http_client);
    return client ? rt::call_method_kw(client.get(), shared.post, {url}, constants.kw_post_form, headers, payload,
                                       files, timeout)
                  : Ref{};
}

}  // namespace

Ref generate_completions(const rt::CallFrame& frame) {
    Args a(frame);
    const common::CallContext c{.frame = frame, .task_id = a["task_id"], .model_key = a["model_key"]};
    Ref headers = common::bearer_headers(a.self(), constants.token);
    Ref timeout = headers ? common::request_timeout(frame) : Ref{};
    Ref record = timeout ? common::make_record(c, common::after_tag(shared.request_api),
                                               {{.key = constants.payload, .value = a["payload"]}})
                         : Ref{};
    if (!record) return {};
    PyObject* files = a["files"];
    bool edits = files != Py_None && PyList_GET_SIZE(files) > 0;
    if (!edits && !common::add_json_content_type(headers.get())) return {};
    Ref url = common::service_url(a.self(), {edits ? constants.edits_path : constants.generations_path});
    if (!url || !rt::put(record.get(), shared.url, url.get()) || !common::emit_record(a.self(), record.get())) {
        return {};
    }
    if (edits) return post_form(frame, url.get(), headers.get(), a["payload"], files, timeout.get());
    return common::post_json(frame, url.get(), headers.get(), a["payload"], timeout.get());
}

}  // namespace tovarin
