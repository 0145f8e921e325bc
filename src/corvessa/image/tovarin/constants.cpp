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
    k.three = PyLong_FromLong(3);
    k.status_ok = PyLong_FromLong(200);
    k.kw_completions_call = Py_BuildValue("(sssss)", "task_id", "model_key", "payload", "files", "timeout");
    k.kw_calc_size = Py_BuildValue("(ss)", "aspect_ratio", "resolution");
    k.kw_post_json = Py_BuildValue("(sss)", "headers", "json", "timeout");
    k.kw_post_form = Py_BuildValue("(ssss)", "headers", "data", "files", "timeout");
    return k.one && k.three && k.status_ok && k.kw_completions_call && k.kw_calc_size && k.kw_post_json &&
           k.kw_post_form;
}

bool fetch_builtins() {
    k.object = rt::builtin("object").release();
    k.round = k.object ? rt::builtin("round").release() : nullptr;
    k.open = k.round ? rt::builtin("open").release() : nullptr;
    return k.open != nullptr;
}

}  // namespace

// Made once per process: a later load after a failed one keeps what was made.
bool make_constants() {
    if (k.open) return true;
    return make_texts() && make_numbers_and_tuples() && fetch_builtins();
}

}  // namespace tovarin
