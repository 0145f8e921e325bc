// _detect_mime_type, _bytes_to_part, _build_parts and _build_body_data: the generateContent
// request body, with its keys in order. Pure: no instance attribute, no I/O.
#include "corvessa/image/sorvanel/constants.hpp"
#include "corvessa/image/sorvanel/methods.hpp"
#include "corvessa/image/sorvanel/params.hpp"

#include "corvessa/image/common/codec.hpp"

#include "runtime/call.hpp"

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
    if (image.starts_with("\x89PNG\r\n\x1a\n"sv)) return constants.image_png;
    if (image.starts_with("\xff\xd8"sv)) return constants.image_jpeg;
    if (image.starts_with("GIF8"sv)) return constants.image_gif;
    if (image.starts_with("RIFF"sv) && image.size() >= 12 && image.substr(8, 4) == "WEBP"sv)
        return constants.image_webp;
    return constants.image_jpeg;
}

using rt::put;

Ref text_part(PyObject* prompt) {
    Ref part = rt::new_dict();
    return part && put(part.get(), constants.text, prompt) ? std::move(part) : Ref{};
}

bool append_image_part(PyObject* self, PyObject* parts, PyObject* image) {
    Ref mime = rt::call_method(self, constants.detect_mime_type, image);
    Ref part = mime ? rt::call_method_kw(self, constants.bytes_to_part, constants.kw_part_call, image, mime.get())
                    : Ref{};
    return part && PyList_Append(parts, part.get()) == 0;
}

// {"role": "user", "parts": self._build_parts(image_bytes_list=..., prompt=...)}
Ref user_content(PyObject* self, PyObject* prompt, PyObject* images) {
    Ref content = rt::new_dict();
    if (!content || !put(content.get(), constants.role, constants.user)) return {};
    Ref empty = images == Py_None ? rt::new_list() : Ref::borrow(images);
    Ref parts = empty
                    ? rt::call_method_kw(self, constants.build_parts, constants.kw_parts_call, empty.get(), prompt)
                    : Ref{};
    return parts && put(content.get(), constants.parts, parts.get()) ? std::move(content) : Ref{};
}

// {"responseModalities": ["IMAGE"]}
Ref generation_config() {
    Ref config = rt::new_dict();
    Ref modalities = rt::new_list();
    if (!config || !modalities || PyList_Append(modalities.get(), constants.image_modality) < 0) return {};
    return put(config.get(), constants.responseModalities, modalities.get()) ? std::move(config) : Ref{};
}

// imageConfig with "aspectRatio" and "imageSize" where each is a non-empty string.
bool add_image_config(PyObject* config, PyObject* aspect_ratio, PyObject* image_size) {
    Ref image_config = rt::new_dict();
    if (!image_config) return false;
    for (auto [key, value] :
         {std::pair{constants.aspectRatio, aspect_ratio}, std::pair{constants.imageSize, image_size}}) {
        int present = PyObject_IsTrue(value);
        if (present < 0 || (present && !put(image_config.get(), key, value))) return false;
    }
    return PyDict_GET_SIZE(image_config.get()) == 0 || put(config, constants.imageConfig, image_config.get());
}

}  // namespace

Ref detect_mime_type(const rt::CallFrame& frame) {
    rt::Args<params::detect_mime_type> a(frame);
    return Ref::borrow(mime_type_of(bytes_view(a["image_bytes"])));
}

Ref bytes_to_part(const rt::CallFrame& frame) {
    rt::Args<params::bytes_to_part> a(frame);
    Ref outer = rt::new_dict();
    Ref inner = rt::new_dict();
    if (!outer || !inner || !put(inner.get(), constants.mimeType, a["mime_type"])) return {};
    Ref data = common::encode_base64(frame, a["image_bytes"]);
    if (!data || !put(inner.get(), shared.data, data.get()) ||
        !put(outer.get(), constants.inlineData, inner.get()))
        return {};
    return outer;
}

Ref build_parts(const rt::CallFrame& frame) {
    rt::Args<params::build_parts> a(frame);
    Ref parts = rt::new_list();
    Ref first = text_part(a["prompt"]);
    if (!parts || !first || PyList_Append(parts.get(), first.get()) < 0) return {};
    Ref images = Ref::steal(PyObject_GetIter(a["image_bytes_list"]));
    if (!images) return {};
    while (Ref image = Ref::steal(PyIter_Next(images.get()))) {
        if (!append_image_part(a.self(), parts.get(), image.get())) return {};
    }
    return PyErr_Occurred() ? Ref{} : std::move(parts);
}

Ref build_body_data(const rt::CallFrame& frame) {
    rt::Args<params::build_body_data> a(frame);
    Ref image_size = Ref::borrow(a["image_size"]);
    if (image_size.get() != Py_None && PyUnicode_GET_LENGTH(image_size.get()) > 0) {
        image_size = rt::call_method(image_size.get(), constants.upper);
        if (!image_size) return {};
    }
    Ref body = rt::new_dict();
    Ref content = body ? user_content(a.self(), a["prompt"], a["image_bytes_list"]) : Ref{};
    Ref contents = content ? rt::new_list() : Ref{};
    if (!contents || PyList_Append(contents.get(), content.get()) < 0 ||
        !put(body.get(), constants.contents, contents.get())) {
        return {};
    }
    Ref config = generation_config();
    if (!config || !put(body.get(), constants.generationConfig, config.get()) ||
        !put(body.get(), shared.response_format, shared.url) ||
        !add_image_config(config.get(), a["aspect_ratio"], image_size.get())) {
        return {};
    }
    return body;
}

}  // namespace sorvanel
