// Log records: one new dict per record, handed to `self.logger.debug` as its only argument;
// and the clock that times a request.
#pragma once

#include "runtime/params.hpp"
#include "runtime/ref.hpp"

#include <initializer_list>

namespace common {

// The record's "msg": the text form of `self.model_tag` followed by `text`, or `text` alone.
struct Message {
    PyObject* text;
    bool after_tag;
};
inline Message after_tag(PyObject* suffix) { return {.text = suffix, .after_tag = true}; }
inline Message plain(PyObject* text) { return {.text = text, .after_tag = false}; }

struct Entry {
    PyObject* key;
    PyObject* value;
};

// One call of a client method, as its records see it: the call, and its "task_id" and
// "model_key" options.
struct CallContext {
    const rt::CallFrame& frame;
    PyObject* task_id;
    PyObject* model_key;

    PyObject* self() const { return frame.self(); }
};

// time.time(), through the module's `time` global: a request's start.
rt::Ref clock(const rt::CallFrame& frame);

// round(time.time() - started, 3): the seconds a record reports.
rt::Ref seconds_since(const rt::CallFrame& frame, PyObject* started);

// A new record {"msg", "task_id", "model_key", *rest}, keys in that order.
rt::Ref make_record(const CallContext& context, Message msg, std::initializer_list<Entry> rest);

// self.logger.debug(record)
bool emit_record(PyObject* self, PyObject* record);

// make_record, then emit_record. False with an error set when any step fails.
bool log_record(const CallContext& context, Message msg, std::initializer_list<Entry> rest);

}  // namespace common
