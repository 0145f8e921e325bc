// Log records: one new dict per record, handed to `self.logger.debug` as its only argument.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <initializer_list>

namespace rt {

// The record's "msg": the text form of `self.model_tag` followed by `text`, or `text` alone.
struct Message {
    PyObject* text;
    bool after_tag;
};
inline Message after_tag(PyObject* suffix) { return {suffix, true}; }
inline Message plain(PyObject* text) { return {text, false}; }

struct Entry {
    PyObject* key;
    PyObject* value;
};

bool record_names_ready();

// time.time(), through the module's `time` global: a request's start.
Ref clock(const Call& call);

// round(time.time() - started, 3): the seconds a record reports.
Ref seconds_since(const Call& call, PyObject* started);

// The tail of both clients' constructors: self.model_tag = kwargs.get("model_tag", default_tag),
// then self.logger = kwargs.get("logger", logging.getLogger(__name__)), the default logger
// being fetched through the module's globals on every construction.
bool set_tag_and_logger(const Call& call, PyObject* self, PyObject* default_tag);

// A new record {"msg", "task_id", "model_key", *rest}, keys in that order.
Ref make_record(PyObject* self, Message msg, PyObject* task_id, PyObject* model_key, std::initializer_list<Entry> rest);

// self.logger.debug(record)
bool emit_record(PyObject* self, PyObject* record);

// make_record, then emit_record. False with an error set when any step fails.
bool log_record(PyObject* self, Message msg, PyObject* task_id, PyObject* model_key, std::initializer_list<Entry> rest);

}  // namespace rt
