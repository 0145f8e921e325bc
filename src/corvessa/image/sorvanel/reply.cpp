// Decoding a status-200 generateContent reply: a file reference wins (its first link is
// downloaded), else the largest inline image of the first candidate that has any, else the
// last candidate's finish reason decides the failure.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/base64.hpp"
#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/record.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

using rt::Ref;

namespace {

// obj.get(key) / obj.get(key, fallback), as a method call on whatever object the reply holds.
Ref get(PyObject* obj, PyObject* key) { return rt::call_method(obj, k.get, key); }
Ref get(PyObject* obj, PyObject* key, PyObject* fallback) { return rt::call_method(obj, k.get, key, fallback); }

Ref new_list() { return Ref::steal(PyList_New(0)); }
Ref new_dict() { return Ref::steal(PyDict_New()); }

// Appends the part's truthy fileData.fileUri to `urls`.
bool collect_file_uri(PyObject* part, PyObject* urls) {
    Ref file_data = get(part, k.fileData);
    if (!file_data) return false;
    int has_data = rt::truth(file_data.get());
    if (has_data <= 0) return has_data == 0;
    Ref uri = get(file_data.get(), k.fileUri);
    if (!uri) return false;
    int has_uri = rt::truth(uri.get());
    if (has_uri <= 0) return has_uri == 0;
    return PyList_Append(urls, uri.get()) == 0;
}

bool collect_candidate_uris(PyObject* candidate, PyObject* urls) {
    Ref fallback = new_dict();
    Ref content = fallback ? get(candidate, k.content, fallback.get()) : Ref{};
    Ref no_parts = content ? new_list() : Ref{};
    Ref parts = no_parts ? get(content.get(), k.parts, no_parts.get()) : Ref{};
    Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref{};
    if (!iterator) return false;
    while (Ref part = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!collect_file_uri(part.get(), urls)) return false;
    }
    return !PyErr_Occurred();
}

// reply.get("candidates", []), iterated.
Ref candidates_of(PyObject* reply) {
    Ref empty = new_list();
    Ref candidates = empty ? get(reply, k.candidates, empty.get()) : Ref{};
    return candidates ? Ref::steal(PyObject_GetIter(candidates.get())) : Ref{};
}

// ---- file reference path ----

Ref fetch_first_reference(const rt::Call& call, PyObject* urls, PyObject* task_id, PyObject* model_key) {
    PyObject* self = call.args[0];
    if (!rt::log_record(self, rt::after_tag(k.complete_result), task_id, model_key, {{k.image_urls, urls}})) return {};
    // ferrimo.ImageTool.get_img_url_io(urls[0]): the callable is looked up before urls[0] is
    // read, as the interpreter evaluates that expression. urls[0] is a subscription (read again
    // below): the list comes from self._extract_file_uris, which a subclass or an instance may
    // replace with one returning any subscriptable object, a mapping with the key 0 included.
    Ref ferrimo = rt::global(call, k.ferrimo);
    Ref tool = ferrimo ? rt::attr(ferrimo.get(), k.ImageTool) : Ref{};
    Ref fetch = tool ? rt::attr(tool.get(), k.get_img_url_io) : Ref{};
    Ref first = fetch ? Ref::steal(PyObject_GetItem(urls, k.zero)) : Ref{};
    Ref io = first ? rt::call(fetch.get(), first.get()) : Ref{};
    if (!io) return {};
    int fetched = rt::truth(io.get());
    if (fetched < 0) return {};
    if (fetched) {
        Ref image = rt::call_method(io.get(), k.getvalue);
        return image ? rt::success(call, image.get()) : Ref{};
    }
    // Nothing could be fetched: the link itself is the result.
    Ref link = Ref::steal(PyObject_GetItem(urls, k.zero));
    return link ? rt::success(call, link.get()) : Ref{};
}

// ---- inline path ----

struct Largest {
    Ref data;
    Py_ssize_t size = -1;
};

// inlineData (or inline_data) .data, base64-decoded, kept when larger than the best so far.
bool consider_inline_part(const rt::Call& call, PyObject* part, Largest& largest) {
    Ref inline_data = get(part, k.inlineData);
    if (!inline_data) return false;
    int present = rt::truth(inline_data.get());
    if (present < 0) return false;
    if (!present) {
        inline_data = get(part, k.inline_data);
        if (!inline_data || (present = rt::truth(inline_data.get())) < 0) return false;
        if (!present) return true;
    }
    Ref text = get(inline_data.get(), k.data);
    if (!text) return false;
    int has_text = rt::truth(text.get());
    if (has_text <= 0) return has_text == 0;
    Ref base64 = rt::global(call, k.base64);
    Ref decoded = base64 ? rt::b64decode(base64.get(), text.get()) : Ref{};
    Py_ssize_t size = decoded ? PyObject_Size(decoded.get()) : -1;
    if (size < 0) return false;
    if (size > largest.size) largest = {std::move(decoded), size};
    return true;
}

// The largest inline image of one candidate whose content has parts; an empty Largest if none.
bool largest_inline_image(const rt::Call& call, PyObject* candidate, Largest& largest) {
    int has_content = PySequence_Contains(candidate, k.content);
    if (has_content <= 0) return has_content == 0;
    Ref content = Ref::steal(PyObject_GetItem(candidate, k.content));
    int has_parts = content ? PySequence_Contains(content.get(), k.parts) : -1;
    if (has_parts <= 0) return has_parts == 0;
    Ref no_parts = new_list();
    Ref parts = no_parts ? get(content.get(), k.parts, no_parts.get()) : Ref{};
    Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref{};
    if (!iterator) return false;
    while (Ref part = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!consider_inline_part(call, part.get(), largest)) return false;
    }
    return !PyErr_Occurred();
}

Ref chosen_image(const rt::Call& call, Largest& largest, PyObject* task_id, PyObject* model_key) {
    Ref size = Ref::steal(PyLong_FromSsize_t(largest.size));
    if (!size || !rt::log_record(call.args[0], rt::plain(k.image_candidates), task_id, model_key, {{k.size, size.get()}})) {
        return {};
    }
    return rt::success(call, largest.data.get());
}

// No image: the last candidate's finish reason says whether it was a content refusal.
Ref no_image(const rt::Call& call, PyObject* finish) {
    for (PyObject* reason : {k.IMAGE_SAFETY, k.IMAGE_OTHER, k.OTHER}) {
        int same = rt::equals(finish, reason);
        if (same < 0) return {};
        if (same) {
            Ref message = rt::prefixed(k.prohibition, finish);
            return message ? rt::fail(call, rt::Code::NO_IMAGE_RESULT, rt::MessageKey::msg, message.get()) : Ref{};
        }
    }
    for (PyObject* reason : {k.IMAGE_PROHIBITED_CONTENT, k.PROHIBITED_CONTENT}) {
        int same = rt::equals(finish, reason);
        if (same < 0) return {};
        if (same) return rt::fail(call, rt::Code::NO_IMAGE_RESULT, rt::MessageKey::msg, k.prohibition_safety);
    }
    return rt::fail(call, rt::Code::NO_IMAGE_RESULT);
}

Ref decode_inline(const rt::Call& call, PyObject* reply, PyObject* task_id, PyObject* model_key) {
    Ref finish = rt::none();
    Ref candidates = candidates_of(reply);
    if (!candidates) return {};
    while (Ref candidate = Ref::steal(PyIter_Next(candidates.get()))) {
        finish = get(candidate.get(), k.finishReason);
        Largest largest;
        if (!finish || !largest_inline_image(call, candidate.get(), largest)) return {};
        if (largest.data) return chosen_image(call, largest, task_id, model_key);
    }
    return PyErr_Occurred() ? Ref{} : no_image(call, finish.get());
}

}  // namespace

Ref extract_file_uris(const rt::Call& call) {
    rt::Args<params::extract_file_uris> a(call);
    Ref urls = new_list();
    Ref candidates = urls ? candidates_of(a["data_dict"]) : Ref{};
    if (!candidates) return {};
    while (Ref candidate = Ref::steal(PyIter_Next(candidates.get()))) {
        if (!collect_candidate_uris(candidate.get(), urls.get())) return {};
    }
    if (PyErr_Occurred()) return {};
    Ref response_id = get(a["data_dict"], k.responseId);
    return response_id ? Ref::steal(PyTuple_Pack(2, urls.get(), response_id.get())) : Ref{};
}

Ref decode_reply(const rt::Call& call, PyObject* reply, PyObject* task_id, PyObject* model_key) {
    Ref pair = rt::call_method(call.args[0], k.extract_file_uris, reply);
    Ref urls, response_id;
    if (!pair || !rt::unpack_pair(pair.get(), urls, response_id)) return {};
    int any = rt::truth(urls.get());
    if (any < 0) return {};
    return any ? fetch_first_reference(call, urls.get(), task_id, model_key)
               : decode_inline(call, reply, task_id, model_key);
}

}  // namespace sorvanel
