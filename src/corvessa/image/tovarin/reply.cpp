// Decoding a status-200 images reply: the first item's "b64_json", else its "url" (a data
// URL, or an http(s) link downloaded through ferrimo); anything else is NO_IMAGE_RESULT.
#include "corvessa/image/tovarin/constants.hpp"
#include "corvessa/image/tovarin/methods.hpp"

#include "runtime/base64.hpp"
#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/record.hpp"
#include "runtime/result.hpp"
#include "runtime/text.hpp"

namespace tovarin {

using rt::Ref;

namespace {

struct Context {
    const rt::Call& call;
    PyObject* task_id;
    PyObject* model_key;
};

Ref b64decode(const rt::Call& call, PyObject* text) {
    Ref base64 = rt::global(call, k.base64);
    return base64 ? rt::b64decode(base64.get(), text) : Ref{};
}

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
    Ref url = rt::call_method(item, k.get, k.url);
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
bool decode_url(const Context& c, PyObject* item, Ref& result) {
    Ref url = url_of(item);
    if (!url) return false;
    if (rt::starts_with(url.get(), k.data_url)) {
        Ref text = data_url_payload(url.get());
        Ref image = text ? b64decode(c.call, text.get()) : Ref{};
        result = image ? rt::success(c.call, image.get()) : Ref{};
        return static_cast<bool>(result);
    }
    if (!rt::starts_with(url.get(), k.http) && !rt::starts_with(url.get(), k.https)) {
        result = rt::fail(c.call, rt::Code::NO_IMAGE_RESULT);
        return static_cast<bool>(result);
    }
    if (!rt::log_record(c.call.args[0], rt::after_tag(k.url_suffix), c.task_id, c.model_key, {{k.url, url.get()}})) {
        return false;
    }
    Ref ferrimo = rt::global(c.call, k.ferrimo);
    Ref tool = ferrimo ? rt::attr(ferrimo.get(), k.ImageTool) : Ref{};
    Ref io = tool ? rt::call_method(tool.get(), k.get_img_url_io, url.get()) : Ref{};
    int fetched = io ? rt::truth(io.get()) : -1;
    if (fetched <= 0) return fetched == 0;
    Ref image = rt::call_method(io.get(), k.getvalue);
    result = image ? rt::success(c.call, image.get()) : Ref{};
    return static_cast<bool>(result);
}

// Sets `result` from the first item of "data"; leaves it empty when the item holds no image.
bool decode_item(const Context& c, PyObject* item, Ref& result) {
    if (!PyDict_Check(item)) return true;
    int has_b64 = PySequence_Contains(item, k.b64_json);
    if (has_b64 < 0) return false;
    if (has_b64) {
        Ref text = rt::call_method(item, k.get, k.b64_json);
        Ref image = text ? b64decode(c.call, text.get()) : Ref{};
        result = image ? rt::success(c.call, image.get()) : Ref{};
        return static_cast<bool>(result);
    }
    int has_url = PySequence_Contains(item, k.url);
    if (has_url <= 0) return has_url == 0;
    return decode_url(c, item, result);
}

// data_dict["data"][0] when data_dict is a dict holding a non-empty "data"; else nothing.
bool first_item(PyObject* reply, Ref& item) {
    if (!PyDict_Check(reply)) return true;
    int has_data = PySequence_Contains(reply, k.data);
    if (has_data <= 0) return has_data == 0;
    Ref data = Ref::steal(PyObject_GetItem(reply, k.data));
    int filled = data ? rt::truth(data.get()) : -1;
    if (filled <= 0) return filled == 0;
    Py_ssize_t count = PyObject_Size(data.get());
    if (count < 1) return count == 0;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    item = zero ? Ref::steal(PyObject_GetItem(data.get(), zero.get())) : Ref{};
    return static_cast<bool>(item);
}

}  // namespace

Ref decode_reply(const rt::Call& call, PyObject* reply, PyObject* task_id, PyObject* model_key) {
    const Context c{call, task_id, model_key};
    Ref item;
    Ref result;
    if (!first_item(reply, item) || (item && !decode_item(c, item.get(), result))) return {};
    if (result) return result;
    if (!rt::log_record(call.args[0], rt::after_tag(k.no_result), task_id, model_key, {{k.data, reply}})) return {};
    return rt::fail(call, rt::Code::NO_IMAGE_RESULT);
}

}  // namespace tovarin
