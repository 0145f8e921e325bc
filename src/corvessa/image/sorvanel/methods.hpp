// SorvanelClient's methods: the list in class-statement order, and the body of each.
#pragma once

#include "runtime/params.hpp"

#include <span>

namespace sorvanel {

// The methods in the order of the class statement.
std::span<const rt::Method* const> client_methods();

// Bodies, one file per method or group of methods.
rt::Ref init(const rt::CallFrame& frame);               // client.cpp
rt::Ref detect_mime_type(const rt::CallFrame& frame);   // body.cpp
rt::Ref bytes_to_part(const rt::CallFrame& frame);      // body.cpp
rt::Ref build_parts(const rt::CallFrame& frame);        // body.cpp
rt::Ref build_body_data(const rt::CallFrame& frame);    // body.cpp
rt::Ref extract_file_uris(const rt::CallFrame& frame);  // reply.cpp
rt::Ref generate_image(const rt::CallFrame& frame);     // generate.cpp
rt::Ref start(const rt::CallFrame& frame);              // start.cpp

}  // namespace sorvanel
