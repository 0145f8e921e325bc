#include "runtime/record.hpp"

#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/module_init.hpp"
#include "runtime/text.hpp"

namespace rt {
namespace {

struct RecordNames {
    PyObject* logger;
    PyObject* debug;
    PyObject* model_tag;
    PyObject* msg;
    PyObject* task_id;
    PyObject* model_key;
    PyObject* logging;
    PyObject* get_logger;
    PyObject* module_name;
    PyObject* time;
    PyObject* round;  // the built-in
    PyObject* three;
};
RecordNames names{};

Ref message_text(PyObject* self, Message msg) {
    if (!msg.after_tag) return Ref::borrow(msg.text);
    Ref tag = attr(self, names.model_tag);
    Ref tag_text = tag ? text_form(tag.get()) : Ref{};
    if (!tag_text) return {};
    return Ref::steal(PyUnicode_Concat(tag_text.get(), msg.text));
}

bool put(PyObject* dict, PyObject* key, PyObject* value) { return PyDict_SetItem(dict, key, value) == 0; }

}  // namespace

bool record_names_ready() {
    if (names.logger) return true;
    names = {interned("logger"),  interned("debug"),   interned("model_tag"), interned("msg"),
             interned("task_id"), interned("model_key"), interned("logging"), interned("getLogger"),
             interned("__name__"), interned("time"), builtin("round").release(), PyLong_FromLong(3)};
    return names.time && names.round && names.three && names.logger && names.debug && names.model_tag && names.msg && names.task_id && names.model_key &&
           names.logging && names.get_logger && names.module_name;
}

Ref clock(const Call& call) {
    Ref time = global(call, names.time);
    return time ? call_method(time.get(), names.time) : Ref{};
}

Ref seconds_since(const Call& call, PyObject* started) {
    Ref stop = clock(call);
    Ref seconds = stop ? Ref::steal(PyNumber_Subtract(stop.get(), started)) : Ref{};
    return seconds ? rt::call(names.round, seconds.get(), names.three) : Ref{};
}

bool set_tag_and_logger(const Call& call, PyObject* self, PyObject* default_tag) {
    Ref tag = dict_get(call.kwargs, names.model_tag, default_tag);
    if (!tag || PyObject_SetAttr(self, names.model_tag, tag.get()) < 0) return false;
    Ref logging = global(call, names.logging);
    Ref get_logger = logging ? attr(logging.get(), names.get_logger) : Ref{};
    Ref name = get_logger ? global(call, names.module_name) : Ref{};
    Ref fallback = name ? rt::call(get_logger.get(), name.get()) : Ref{};
    Ref logger = fallback ? dict_get(call.kwargs, names.logger, fallback.get()) : Ref{};
    return logger && PyObject_SetAttr(self, names.logger, logger.get()) == 0;
}

Ref make_record(PyObject* self, Message msg, PyObject* task_id, PyObject* model_key, std::initializer_list<Entry> rest) {
    Ref record = Ref::steal(PyDict_New());
    Ref text = record ? message_text(self, msg) : Ref{};
    if (!text || !put(record.get(), names.msg, text.get()) || !put(record.get(), names.task_id, task_id) ||
        !put(record.get(), names.model_key, model_key)) {
        return {};
    }
    for (const Entry& entry : rest) {
        if (!put(record.get(), entry.key, entry.value)) return {};
    }
    return record;
}

bool emit_record(PyObject* self, PyObject* record) {
    Ref logger = attr(self, names.logger);
    return logger && call_method(logger.get(), names.debug, record);
}

bool log_record(PyObject* self, Message msg, PyObject* task_id, PyObject* model_key, std::initializer_list<Entry> rest) {
    Ref record = make_record(self, msg, task_id, model_key, rest);
    return record && emit_record(self, record.get());
}

}  // namespace rt
