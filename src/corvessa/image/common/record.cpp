// Log records and the request clock.
#include "corvessa/image/common/record.hpp"

#include "corvessa/image/common/constants.hpp"

#include "runtime/call.hpp"
#include "runtime/globals.hpp"
#include "runtime/text.hpp"

namespace common {

using rt::Ref;

namespace {

Ref message_text(PyObject* self, Message msg) {
    if (!msg.after_tag) return Ref::borrow(msg.text);
    Ref tag = rt::attr(self, constants.model_tag);
    Ref tag_text = tag ? rt::text_form(tag.get()) : Ref{};
    if (!tag_text) return {};
    return Ref::steal(PyUnicode_Concat(tag_text.get(), msg.text));
}

}  // namespace

Ref clock(const rt::CallFrame& frame) {
    Ref time = rt::global(frame, constants.time);
    return time ? rt::call_method(time.get(), constants.time) : Ref{};
}

// round(time.time() - started, 3), `round` looked up first as Python evaluates the call.
Ref seconds_since(const rt::CallFrame& frame, PyObject* started) {
    Ref round = rt::global(frame, constants.round);
    Ref stop = round ? clock(frame) : Ref{};
    Ref seconds = stop ? Ref::steal(PyNumber_Subtract(stop.get(), started)) : Ref{};
    return seconds ? rt::call(round.get(), seconds.get(), constants.seconds_digits) : Ref{};
}

Ref make_record(const CallContext& context, Message msg, std::initializer_list<Entry> rest) {
    Ref record = rt::new_dict();
    Ref text = record ? message_text(context.self(), msg) : Ref{};
    if (!text || !rt::put(record.get(), constants.msg, text.get()) ||
        !rt::put(record.get(), constants.task_id, context.task_id) ||
        !rt::put(record.get(), constants.model_key, context.model_key)) {
        return {};
    }
    for (const Entry& entry : rest) {
        if (!rt::put(record.get(), entry.key, entry.value)) return {};
    }
    return record;
}

bool emit_record(PyObject* self, PyObject* record) {
    Ref logger = rt::attr(self, constants.logger);
    return logger && rt::call_method(logger.get(), constants.debug, record);
}

bool log_record(const CallContext& context, Message msg, std::initializer_list<Entry> rest) {
    Ref record = make_record(context, msg, rest);
    return record && emit_record(context.self(), record.get());
}

}  // namespace common
