#include "corvessa/image/tovarin/constants.hpp"

#include "runtime/module_init.hpp"
#include "runtime/text.hpp"

namespace tovarin {

Constants k;

namespace {

bool make_texts() {
#define TOVARIN_MAKE(field, text) \
    if (!(k.field = rt::interned(text))) return false;
    TOVARIN_TEXTS(TOVARIN_MAKE)
#undef TOVARIN_MAKE
    return true;
}

bool make_numbers_and_tuples() {
    k.one = PyLong_FromLong(1);
    k.status_ok = PyLong_FromLong(200);
    k.kw_completions_call = rt::interned_names({"task_id", "model_key", "payload", "files", "timeout"});
    k.kw_calc_size = rt::interned_names({"aspect_ratio", "resolution"});
    k.kw_post_json = rt::interned_names({"headers", "json", "timeout"});
    k.kw_post_form = rt::interned_names({"headers", "data", "files", "timeout"});
    k.kw_generate_call = rt::interned_names({"prompt", "aspect_ratio", "quality", "image_size", "files"});
    return k.one && k.status_ok && k.kw_completions_call && k.kw_calc_size && k.kw_post_json &&
           k.kw_post_form && k.kw_generate_call;
}

bool fetch_builtins() {
    k.object = rt::builtin("object").release();
    k.open = k.object ? rt::builtin("open").release() : nullptr;
    return k.open != nullptr;
}

}  // namespace

// Made once per process: a later load after a failed one keeps what was made.
bool make_constants() {
    if (k.open) return true;
    return make_texts() && make_numbers_and_tuples() && fetch_builtins();
}

}  // namespace tovarin
