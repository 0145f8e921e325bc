// SorvanelClient's methods: one declaration each (signature, defaults, annotations, checks,
// docstring), and the bodies that implement them.
#pragma once

#include "runtime/params.hpp"

#include <span>

namespace sorvanel {

// The methods in the order of the class statement.
std::span<const rt::Method* const> client_methods();

// Bodies, one file per concern.
rt::Ref init(const rt::Call& call);                // client.cpp
rt::Ref detect_mime_type(const rt::Call& call);    // body.cpp
rt::Ref bytes_to_part(const rt::Call& call);       // body.cpp
rt::Ref build_parts(const rt::Call& call);         // body.cpp
rt::Ref build_body_data(const rt::Call& call);     // body.cpp
rt::Ref extract_file_uris(const rt::Call& call);   // reply.cpp
rt::Ref generate_image(const rt::Call& call);      // generate.cpp
rt::Ref start(const rt::Call& call);               // start.cpp

// `value in <table>`, the table being a configuration global: 1 or 0, or -1 with an error
// set; and the INVALID_PARAMS result for a refused value (validation.cpp).
int supported(const rt::Call& call, PyObject* table, PyObject* value);
rt::Ref refuse(const rt::Call& call, PyObject* prefix, PyObject* value);

// The status-200 reply decoding of generate_image (reply.cpp).
rt::Ref decode_reply(const rt::Call& call, PyObject* reply, PyObject* task_id, PyObject* model_key);

}  // namespace sorvanel
