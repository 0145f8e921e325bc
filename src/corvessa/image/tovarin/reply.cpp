// The whole reply handling of the images API: the completion record, then status 200 decoded
// from the first item's "b64_json", else its "url" (a data URL, or an http(s) link downloaded
// through ferrimo), anything else NO_IMAGE_RESULT; any other status refused.
#include "corvessa/image/tovarin/reply.hpp"

#include "corvessa/image/tovarin/constants.hpp"

#include "corvessa/image/common/codec.hpp"
#include "corvessa/image/common/download.hpp"
#include "corvessa/image/common/request.hpp"
#include "corvessa/image/common/result.hpp"

#include "runtime/call.hpp"
#include "runtime/text.hpp"

namespace tovarin {

using common::CallContext;
using common::Code;
using rt::Ref;

namespace {

// The base64 text after the first "," of a data URL.
Ref data_url_payload(PyObject* url) {
    Py_ssize_t comma = PyUnicode_FindChar(url, ',', 0, PyUnicode_GET_LENGTH(url), 1);
    if (comma == -2) return {};
    if (comma == -1) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return {};
    }
    return Ref::steal(PyUnicode_Substring(url, comma + 1, PyUnicode_GET_LENGTH(url)));
}

// item.get("url") or "", which must be exactly a str.
Ref url_of(PyObject* item) {
    Ref url = rt::call_method(item, shared.get, shared.url);
    int present = url ? rt::truth(url.get()) : -1;
    if (present < 0) return {};
    if (!present) return Ref::steal(PyUnicode_New(0, 0));
    if (!PyUnicode_CheckExact(url.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(url.get())->tp_name);
        return {};
    }
    return url;
}

// Sets `result` from a "url" item; leaves it empty when a link gave no download.
bool decode_url(const CallContext& c, PyObject* item, Ref& result) {
    Ref url = url_of(item);
    if (!url) return false;
    if (rt::starts_with(url.get(), constants.data_url)) {
        Ref text = data_url_payload(url.get());
        Ref image = text ? common::decode_base64(c.frame, text.get()) : Ref{};
        result = image ? common::success(c.frame, image.get()) : Ref{};
        return static_cast<bool>(result);
    }
    if (!rt::starts_with(url.get(), shared.http) && !rt::starts_with(url.get(), shared.https)) {
        result = common::fail(c.frame, Code::NO_IMAGE_RESULT);
        return static_cast<bool>(result);
    }
    if (!common::log_record(c, common::after_tag(constants.url_suffix),
                            {{.key = shared.url, .value = url.get()}})) {
        return false;
    }
    Ref image;
    if (!common::download_image(c.frame, url.get(), image)) return false;
    if (image) result = common::success(c.frame, image.get());
    return !image || static_cast<bool>(result);
}

// Sets `result` from the first item of "data"; leaves it empty when the item holds no image.
bool decode_item(const CallContext& c, PyObject* item, Ref& result) {
    if (!PyDict_Check(item)) return true;
    int has_b64 = PySequence_Contains(item, constants.b64_json);
    if (has_b64 < 0) return false;
    if (has_b64) {
        Ref text = rt::call_method(item, shared.get, constants.b64_json);
        Ref image = text ? common::decode_base64(c.frame, text.get()) : Ref{};
        result = image ? common::success(c.frame, image.get()) : Ref{};
        return static_cast<bool>(result);
    }
    int has_url = PySequence_Contains(item, shared.url);
    if (has_url <= 0) return has_url == 0;
    return decode_url(c, item, result);
}

// data_dict["data"][0] when data_dict is a dict holding a non-empty "data"; else nothing.
bool first_item(PyObject* reply, Ref& item) {
    if (!PyDict_Check(reply)) return true;
    int has_data = PySequence_Contains(reply, shared.data);
    if (has_data <= 0) return has_data == 0;
    Ref data = Ref::steal(PyObject_GetItem(reply, shared.data));
    int filled = data ? rt::truth(data.get()) : -1;
    if (filled <= 0) return filled == 0;
    Py_ssize_t count = PyObject_Size(data.get());
    if (count < 1) return count == 0;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    item = zero ? Ref::steal(PyObject_GetItem(data.get(), zero.get())) : Ref{};
    return static_cast<bool>(item);
}

Ref decode_reply(const CallContext& c, PyObject* reply) {
    Ref item;
    Ref result;
    if (!first_item(reply, item) || (item && !decode_item(c, item.get(), result))) return {};
    if (result) return result;
    if (!common::log_record(c, common::after_tag(constants.no_result), {{.key = shared.data, .value = reply}}))
        return {};
    return common::fail(c.frame, Code::NO_IMAGE_RESULT);
}

// ---- the status ----

Ref refused_reply(const CallContext& c, PyObject* response, PyObject* status) {
    Ref message, error_dict;
    if (!common::read_refusal(response, status, message, error_dict) ||
        !common::log_record(c, common::after_tag(constants.response_failed),
                            {{.key = shared.status_code, .value = status},
                             {.key = shared.error_dict, .value = error_dict.get()}})) {
        return {};
    }
    return common::fail(c.frame, common::Code::IMAGE_GENERATE_FAIL, common::MessageKey::msg, message.get());
}

}  // namespace

Ref handle_reply(const CallContext& c, PyObject* response, PyObject* started) {
    Ref status = rt::attr(response, shared.status_code);
    Ref seconds = status ? common::seconds_since(c.frame, started) : Ref{};
    if (!seconds || !common::log_record(c, common::after_tag(constants.api_complete),
                                        {{.key = shared.status_code, .value = status.get()},
                                         {.key = constants.total_second, .value = seconds.get()}})) {
        return {};
    }
    int ok = rt::equals(status.get(), shared.status_ok);
    if (ok <= 0) return ok < 0 ? Ref{} : refused_reply(c, response, status.get());
    Ref reply = rt::call_method(response, shared.json);
    return reply ? decode_reply(c, reply.get()) : Ref{};
}

}  // namespace tovarin
