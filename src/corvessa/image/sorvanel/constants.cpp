#include "corvessa/image/sorvanel/constants.hpp"

#include "runtime/module_init.hpp"
#include "runtime/text.hpp"

namespace sorvanel {

Constants k;

namespace {

bool make_texts() {
#define SORVANEL_MAKE(field, text) \
    if (!(k.field = rt::interned(text))) return false;
    SORVANEL_TEXTS(SORVANEL_MAKE)
#undef SORVANEL_MAKE
    return true;
}

bool make_numbers_and_tuples() {
    k.zero = PyLong_FromLong(0);
    k.status_ok = PyLong_FromLong(200);
    k.status_busy = PyLong_FromLong(429);
    k.kw_parts_call = rt::interned_names({"image_bytes_list", "prompt"});
    k.kw_part_call = rt::interned_names({"image_bytes", "mime_type"});
    k.kw_body_call = rt::interned_names({"image_bytes_list", "prompt", "aspect_ratio", "image_size"});
    k.kw_post_json = rt::interned_names({"headers", "json", "timeout"});
    k.kw_generate_call = rt::interned_names({"prompt", "image_bytes_list", "aspect_ratio", "image_size", "model"});
    return k.zero && k.status_ok && k.status_busy && k.kw_parts_call && k.kw_part_call &&
           k.kw_body_call && k.kw_post_json && k.kw_generate_call;
}

bool fetch_builtins() {
    k.object = rt::builtin("object").release();
    k.staticmethod = k.object ? rt::builtin("staticmethod").release() : nullptr;
    k.import = k.staticmethod ? rt::builtin("__import__").release() : nullptr;
    k.open = k.import ? rt::builtin("open").release() : nullptr;
    return k.open != nullptr;
}

}  // namespace

// Made once per process: a later load after a failed one keeps what was made.
bool make_constants() {
    if (k.open) return true;
    return make_texts() && make_numbers_and_tuples() && fetch_builtins();
}

}  // namespace sorvanel
