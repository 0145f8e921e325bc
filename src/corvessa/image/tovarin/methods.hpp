// TovarinClient's methods: one declaration each (signature, defaults, annotations, checks,
// docstring), and the bodies that implement them.
#pragma once

#include "runtime/params.hpp"

#include <span>

namespace tovarin {

// The methods in the order of the class statement.
std::span<const rt::Method* const> client_methods();

// Bodies, one file per concern.
rt::Ref init(const rt::Call& call);                  // client.cpp
rt::Ref generate_completions(const rt::Call& call);  // transport.cpp
rt::Ref generate_image(const rt::Call& call);        // generate.cpp
rt::Ref start(const rt::Call& call);                 // start.cpp

// The status-200 reply decoding of generate_image (reply.cpp).
rt::Ref decode_reply(const rt::Call& call, PyObject* reply, PyObject* task_id, PyObject* model_key);

}  // namespace tovarin
