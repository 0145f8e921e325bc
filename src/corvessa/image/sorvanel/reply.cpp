// The whole reply handling of generateContent, and _extract_file_uris. Status 200 is decoded:
// a file reference wins (its first link is downloaded), else the largest inline image of the
// first candidate that has any, else the last candidate's finish reason decides the failure.
// Any other status is refused, 429 as SERVICE_BUSY.
#include "corvessa/image/sorvanel/reply.hpp"

#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "corvessa/image/common/codec.hpp"
#include "corvessa/image/common/download.hpp"
#include "corvessa/image/common/request.hpp"
#include "corvessa/image/common/result.hpp"

#include "runtime/call.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

using common::CallContext;
using common::Code;
using common::MessageKey;
using rt::Ref;

namespace {

// obj.get(key) / obj.get(key, fallback), as a method call on whatever object the reply holds.
Ref get(PyObject* obj, PyObject* key) { return rt::call_method(obj, shared.get, key); }
Ref get(PyObject* obj, PyObject* key, PyObject* fallback) {
    return rt::call_method(obj, shared.get, key, fallback);
}

// Appends the part's truthy fileData.fileUri to `urls`.
bool collect_file_uri(PyObject* part, PyObject* urls) {
    Ref file_data = get(part, constants.fileData);
    if (!file_data) return false;
    int has_data = rt::truth(file_data.get());
    if (has_data <= 0) return has_data == 0;
    Ref uri = get(file_data.get(), constants.fileUri);
    if (!uri) return false;
    int has_uri = rt::truth(uri.get());
    if (has_uri <= 0) return has_uri == 0;
    return PyList_Append(urls, uri.get()) == 0;
}

bool collect_candidate_uris(PyObject* candidate, PyObject* urls) {
    Ref fallback = rt::new_dict();
    Ref content = fallback ? get(candidate, constants.content, fallback.get()) : Ref{};
    Ref no_parts = content ? rt::new_list() : Ref{};
    Ref parts = no_parts ? get(content.get(), constants.parts, no_parts.get()) : Ref{};
    Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref{};
    if (!iterator) return false;
    while (Ref part = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!collect_file_uri(part.get(), urls)) return false;
    }
    return !PyErr_Occurred();
}

// reply.get("candidates", []), iterated.
Ref candidates_of(PyObject* reply) {
    Ref empty = rt::new_list();
    Ref candidates = empty ? get(reply, constants.candidates, empty.get()) : Ref{};
    return candidates ? Ref::steal(PyObject_GetIter(candidates.get())) : Ref{};
}

// ---- file reference path ----

// The first link, downloaded; the link itself is the result when the download gives nothing.
// ferrimo.ImageTool.get_img_url_io(urls[0]): the callable is looked up before urls[0] is read,
// as the interpreter evaluates that expression. urls[0] is a subscription (read again below):
// the list comes from self._extract_file_uris, which a subclass or an instance may replace with
// one returning any subscriptable object, a mapping with the key 0 included.
Ref fetch_first_reference(const CallContext& c, PyObject* urls) {
    if (!common::log_record(c, common::after_tag(constants.complete_result),
                            {{.key = constants.image_urls, .value = urls}})) {
        return {};
    }
    Ref downloader = common::image_downloader(c.frame);
    Ref first = downloader ? Ref::steal(PyObject_GetItem(urls, constants.first_link)) : Ref{};
    Ref image;
    if (!first || !common::download_with(downloader.get(), first.get(), image)) return {};
    if (image) return common::success(c.frame, image.get());
    Ref link = Ref::steal(PyObject_GetItem(urls, constants.first_link));
    return link ? common::success(c.frame, link.get()) : Ref{};
}

// ---- inline path ----

struct Largest {
    Ref data;
    Py_ssize_t size = -1;
};

// inlineData (or inline_data) .data, base64-decoded, kept when larger than the best so far.
bool consider_inline_part(const rt::CallFrame& frame, PyObject* part, Largest& largest) {
    Ref inline_data = get(part, constants.inlineData);
    if (!inline_data) return false;
    int present = rt::truth(inline_data.get());
    if (present < 0) return false;
    if (!present) {
        inline_data = get(part, constants.inline_data);
        if (!inline_data || (present = rt::truth(inline_data.get())) < 0) return false;
        if (!present) return true;
    }
    Ref text = get(inline_data.get(), shared.data);
    if (!text) return false;
    int has_text = rt::truth(text.get());
    if (has_text <= 0) return has_text == 0;
    Ref decoded = common::decode_base64(frame, text.get());
    Py_ssize_t size = decoded ? PyObject_Size(decoded.get()) : -1;
    if (size < 0) return false;
    if (size > largest.size) largest = {std::move(decoded), size};
    return true;
}

// The largest inline image of one candidate whose content has parts; an empty Largest if none.
bool largest_inline_image(const rt::CallFrame& frame, PyObject* candidate, Largest& largest) {
    int has_content = PySequence_Contains(candidate, constants.content);
    if (has_content <= 0) return has_content == 0;
    Ref content = Ref::steal(PyObject_GetItem(candidate, constants.content));
    int has_parts = content ? PySequence_Contains(content.get(), constants.parts) : -1;
    if (has_parts <= 0) return has_parts == 0;
    Ref no_parts = rt::new_list();
    Ref parts = no_parts ? get(content.get(), constants.parts, no_parts.get()) : Ref{};
    Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref{};
    if (!iterator) return false;
    while (Ref part = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!consider_inline_part(frame, part.get(), largest)) return false;
    }
    return !PyErr_Occurred();
}

Ref chosen_image(const CallContext& c, Largest& largest) {
    Ref size = Ref::steal(PyLong_FromSsize_t(largest.size));
    if (!size || !common::log_record(c, common::plain(constants.image_candidates),
                                     {{.key = shared.size, .value = size.get()}})) {
        return {};
    }
    return common::success(c.frame, largest.data.get());
}

// No image: the last candidate's finish reason says whether it was a content refusal.
Ref no_image(const rt::CallFrame& frame, PyObject* finish) {
    for (PyObject* reason : {constants.IMAGE_SAFETY, constants.IMAGE_OTHER, constants.OTHER}) {
        int same = rt::equals(finish, reason);
        if (same < 0) return {};
        if (same) {
            Ref message = rt::prefixed(constants.prohibition, finish);
            return message ? common::fail(frame, Code::NO_IMAGE_RESULT, MessageKey::msg, message.get()) : Ref{};
        }
    }
    for (PyObject* reason : {constants.IMAGE_PROHIBITED_CONTENT, constants.PROHIBITED_CONTENT}) {
        int same = rt::equals(finish, reason);
        if (same < 0) return {};
        if (same) return common::fail(frame, Code::NO_IMAGE_RESULT, MessageKey::msg, constants.prohibition_safety);
    }
    return common::fail(frame, Code::NO_IMAGE_RESULT);
}

Ref decode_inline(const CallContext& c, PyObject* reply) {
    Ref finish = rt::none();
    Ref candidates = candidates_of(reply);
    if (!candidates) return {};
    while (Ref candidate = Ref::steal(PyIter_Next(candidates.get()))) {
        finish = get(candidate.get(), constants.finishReason);
        Largest largest;
        if (!finish || !largest_inline_image(c.frame, candidate.get(), largest)) return {};
        if (largest.data) return chosen_image(c, largest);
    }
    return PyErr_Occurred() ? Ref{} : no_image(c.frame, finish.get());
}

Ref decode_reply(const CallContext& c, PyObject* reply) {
    Ref pair = rt::call_method(c.self(), constants.extract_file_uris, reply);
    Ref urls, response_id;
    if (!pair || !rt::unpack_pair(pair.get(), urls, response_id)) return {};
    int any = rt::truth(urls.get());
    if (any < 0) return {};
    return any ? fetch_first_reference(c, urls.get()) : decode_inline(c, reply);
}

// ---- the status ----

Ref refused_reply(const CallContext& c, PyObject* response, PyObject* status, PyObject* started) {
    Ref message, error_dict;
    if (!common::read_refusal(response, status, message, error_dict)) return {};
    Ref seconds = common::seconds_since(c.frame, started);
    if (!seconds || !common::log_record(c, common::after_tag(constants.complete_fail),
                                        {{.key = shared.status_code, .value = status},
                                         {.key = constants.second, .value = seconds.get()},
                                         {.key = shared.error_dict, .value = error_dict.get()}})) {
        return {};
    }
    int busy = rt::equals(status, constants.status_busy);
    if (busy < 0) return {};
    common::Code code = busy ? common::Code::SERVICE_BUSY : common::Code::IMAGE_GENERATE_FAIL;
    return common::fail(c.frame, code, common::MessageKey::msg, message.get());
}

Ref accepted_reply(const CallContext& c, PyObject* response, PyObject* started) {
    Ref reply = rt::call_method(response, shared.json);
    Ref seconds = reply ? common::seconds_since(c.frame, started) : Ref{};
    if (!seconds || !common::log_record(c, common::after_tag(constants.complete_successfully),
                                        {{.key = constants.second, .value = seconds.get()}})) {
        return {};
    }
    return decode_reply(c, reply.get());
}

}  // namespace

Ref extract_file_uris(const rt::CallFrame& frame) {
    rt::Args<params::extract_file_uris> a(frame);
    Ref urls = rt::new_list();
    Ref candidates = urls ? candidates_of(a["data_dict"]) : Ref{};
    if (!candidates) return {};
    while (Ref candidate = Ref::steal(PyIter_Next(candidates.get()))) {
        if (!collect_candidate_uris(candidate.get(), urls.get())) return {};
    }
    if (PyErr_Occurred()) return {};
    Ref response_id = get(a["data_dict"], constants.responseId);
    return response_id ? Ref::steal(PyTuple_Pack(2, urls.get(), response_id.get())) : Ref{};
}

Ref handle_reply(const CallContext& c, PyObject* response, PyObject* started) {
    Ref status = rt::attr(response, shared.status_code);
    int ok = status ? rt::equals(status.get(), shared.status_ok) : -1;
    if (ok < 0) return {};
    return ok ? accepted_reply(c, response, started) : refused_reply(c, response, status.get(), started);
}

}  // namespace sorvanel
