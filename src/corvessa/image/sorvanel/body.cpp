// The generateContent request body: MIME detection, inline-data parts, the parts list and
// the body with its keys in order. Pure: no instance attribute, no I/O.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "runtime/base64.hpp"
#include "runtime/call.hpp"
#include "runtime/function.hpp"

#include <string_view>
#include <utility>

namespace sorvanel {

using rt::Ref;

namespace {

using namespace std::string_view_literals;

std::string_view bytes_view(PyObject* bytes) {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

PyObject* mime_type_of(std::string_view image) {
    if (image.starts_with("\x89PNG\r\n\x1a\n"sv)) return k.image_png;
    if (image.starts_with("\xff\xd8"sv)) return k.image_jpeg;
    if (image.starts_with("GIF8"sv)) return k.image_gif;
    if (image.starts_with("RIFF"sv) && image.size() >= 12 && image.substr(8, 4) == "WEBP"sv) return k.image_webp;
    return k.image_jpeg;
}

bool put(PyObject* dict, PyObject* key, PyObject* value) { return PyDict_SetItem(dict, key, value) == 0; }

// base64.b64encode(image).decode("utf-8"), through the module's `base64` global.
Ref base64_text(const rt::Call& call, PyObject* image) {
    Ref base64 = rt::global(call, k.base64);
    return base64 ? rt::b64encode_text(base64.get(), image) : Ref{};
}

Ref text_part(PyObject* prompt) {
    Ref part = Ref::steal(PyDict_New());
    return part && put(part.get(), k.text, prompt) ? std::move(part) : Ref{};
}

bool append_image_part(PyObject* self, PyObject* parts, PyObject* image) {
    Ref mime = rt::call_method(self, k.detect_mime_type, image);
    Ref part = mime ? rt::call_method_kw(self, k.bytes_to_part, k.kw_part_call, image, mime.get()) : Ref{};
    return part && PyList_Append(parts, part.get()) == 0;
}

// {"role": "user", "parts": self._build_parts(image_bytes_list=..., prompt=...)}
Ref user_content(PyObject* self, PyObject* prompt, PyObject* images) {
    Ref content = Ref::steal(PyDict_New());
    if (!content || !put(content.get(), k.role, k.user)) return {};
    Ref empty = images == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(images);
    Ref parts = empty ? rt::call_method_kw(self, k.build_parts, k.kw_parts_call, empty.get(), prompt) : Ref{};
    return parts && put(content.get(), k.parts, parts.get()) ? std::move(content) : Ref{};
}

// {"responseModalities": ["IMAGE"]}
Ref generation_config() {
    Ref config = Ref::steal(PyDict_New());
    Ref modalities = Ref::steal(PyList_New(0));
    if (!config || !modalities || PyList_Append(modalities.get(), k.IMAGE) < 0) return {};
    return put(config.get(), k.responseModalities, modalities.get()) ? std::move(config) : Ref{};
}

// imageConfig with "aspectRatio" and "imageSize" where each is a non-empty string.
bool add_image_config(PyObject* config, PyObject* aspect_ratio, PyObject* image_size) {
    Ref image_config = Ref::steal(PyDict_New());
    if (!image_config) return false;
    for (auto [key, value] : {std::pair{k.aspectRatio, aspect_ratio}, std::pair{k.imageSize, image_size}}) {
        int present = PyObject_IsTrue(value);
        if (present < 0 || (present && !put(image_config.get(), key, value))) return false;
    }
    return PyDict_GET_SIZE(image_config.get()) == 0 || put(config, k.imageConfig, image_config.get());
}

}  // namespace

Ref detect_mime_type(const rt::Call& call) {
    rt::Args<params::detect_mime_type> a(call);
    return Ref::borrow(mime_type_of(bytes_view(a["image_bytes"])));
}

Ref bytes_to_part(const rt::Call& call) {
    rt::Args<params::bytes_to_part> a(call);
    Ref outer = Ref::steal(PyDict_New());
    Ref inner = Ref::steal(PyDict_New());
    if (!outer || !inner || !put(inner.get(), k.mimeType, a["mime_type"])) return {};
    Ref data = base64_text(call, a["image_bytes"]);
    if (!data || !put(inner.get(), k.data, data.get()) || !put(outer.get(), k.inlineData, inner.get())) return {};
    return outer;
}

Ref build_parts(const rt::Call& call) {
    rt::Args<params::build_parts> a(call);
    Ref parts = Ref::steal(PyList_New(0));
    Ref first = text_part(a["prompt"]);
    if (!parts || !first || PyList_Append(parts.get(), first.get()) < 0) return {};
    Ref images = Ref::steal(PyObject_GetIter(a["image_bytes_list"]));
    if (!images) return {};
    while (Ref image = Ref::steal(PyIter_Next(images.get()))) {
        if (!append_image_part(a.self(), parts.get(), image.get())) return {};
    }
    return PyErr_Occurred() ? Ref{} : std::move(parts);
}

Ref build_body_data(const rt::Call& call) {
    rt::Args<params::build_body_data> a(call);
    Ref image_size = Ref::borrow(a["image_size"]);
    if (image_size.get() != Py_None && PyUnicode_GET_LENGTH(image_size.get()) > 0) {
        image_size = rt::call_method(image_size.get(), k.upper);
        if (!image_size) return {};
    }
    Ref body = Ref::steal(PyDict_New());
    Ref content = body ? user_content(a.self(), a["prompt"], a["image_bytes_list"]) : Ref{};
    Ref contents = content ? Ref::steal(PyList_New(0)) : Ref{};
    if (!contents || PyList_Append(contents.get(), content.get()) < 0 || !put(body.get(), k.contents, contents.get())) {
        return {};
    }
    Ref config = generation_config();
    if (!config || !put(body.get(), k.generationConfig, config.get()) ||
        !put(body.get(), k.response_format, k.url) ||
        !add_image_config(config.get(), a["aspect_ratio"], image_size.get())) {
        return {};
    }
    return body;
}

}  // namespace sorvanel
