// TovarinClient._generate_completions: "/generations" with a JSON body, or "/edits" with a
// multipart form carrying the reference images; one request record; the response unchanged.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"
#include "corvessa/image/tovarin/params.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/record.hpp"
#include "runtime/text.hpp"

namespace tovarin {

using rt::Ref;

namespace {

using Args = rt::Args<params::generate_completions>;

// The "timeout" option when true, else http_client.base_timeout.
Ref timeout_of(const rt::Call& call, PyObject* kwargs) {
    Ref timeout = rt::dict_get(kwargs, k.timeout, Py_None);
    int given = timeout ? rt::truth(timeout.get()) : -1;
    if (given != 0) return given > 0 ? std::move(timeout) : Ref{};
    Ref client = rt::global(call, k.http_client);
    return client ? rt::attr(client.get(), k.base_timeout) : Ref{};
}

Ref endpoint(PyObject* self, PyObject* path) {
    Ref base = rt::attr(self, k.base_url);
    Ref base_text = base ? rt::text_form(base.get()) : Ref{};
    return base_text ? rt::join({base_text.get(), path}) : Ref{};
}

bool put(PyObject* dict, PyObject* key, PyObject* value) { return PyDict_SetItem(dict, key, value) == 0; }

}  // namespace

Ref generate_completions(const rt::Call& call) {
    Args a(call);
    PyObject* self = a.self();
    Ref token = rt::attr(self, k.token);
    Ref bearer = token ? rt::prefixed(k.bearer, token.get()) : Ref{};
    Ref headers = bearer ? Ref::steal(PyDict_New()) : Ref{};
    if (!headers || !put(headers.get(), k.authorization, bearer.get())) return {};
    Ref timeout = timeout_of(call, a.kwargs());
    Ref record = timeout ? rt::make_record(self, rt::after_tag(k.request_api), a["task_id"], a["model_key"],
                                           {{k.payload, a["payload"]}})
                         : Ref{};
    if (!record) return {};
    PyObject* files = a["files"];
    bool edits = files != Py_None && PyList_GET_SIZE(files) > 0;
    if (!edits && !put(headers.get(), k.content_type, k.application_json)) return {};
    Ref url = endpoint(self, edits ? k.edits_path : k.generations_path);
    if (!url || !put(record.get(), k.url, url.get()) || !rt::emit_record(self, record.get())) return {};
    Ref client = rt::global(call, k.http_client);
    if (!client) return {};
    if (edits) {
        return rt::call_method_kw(client.get(), k.post, k.kw_post_form, url.get(), headers.get(), a["payload"], files,
                                  timeout.get());
    }
    return rt::call_method_kw(client.get(), k.post, k.kw_post_json, url.get(), headers.get(), a["payload"],
                              timeout.get());
}

}  // namespace tovarin
