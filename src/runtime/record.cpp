#include "runtime/record.hpp"

#include "runtime/call.hpp"
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
    names = {interned("logger"), interned("debug"),   interned("model_tag"),
             interned("msg"),    interned("task_id"), interned("model_key")};
    return names.logger && names.debug && names.model_tag && names.msg && names.task_id && names.model_key;
}

bool log_record(PyObject* self, Message msg, PyObject* task_id, PyObject* model_key, std::initializer_list<Entry> rest) {
    Ref record = Ref::steal(PyDict_New());
    Ref text = record ? message_text(self, msg) : Ref{};
    if (!text || !put(record.get(), names.msg, text.get()) || !put(record.get(), names.task_id, task_id) ||
        !put(record.get(), names.model_key, model_key)) {
        return false;
    }
    for (const Entry& entry : rest) {
        if (!put(record.get(), entry.key, entry.value)) return false;
    }
    Ref logger = attr(self, names.logger);
    return logger && call_method(logger.get(), names.debug, record.get());
}

}  // namespace rt
