// TovarinClient's methods: the list in class-statement order, and the body of each.
#pragma once

#include "runtime/params.hpp"

#include <span>

namespace tovarin {

// The methods in the order of the class statement.
std::span<const rt::Method* const> client_methods();

// Bodies, one file per method.
rt::Ref init(const rt::CallFrame& frame);                  // client.cpp
rt::Ref generate_completions(const rt::CallFrame& frame);  // generate_completions.cpp
rt::Ref generate_image(const rt::CallFrame& frame);        // generate.cpp
rt::Ref start(const rt::CallFrame& frame);                 // start.cpp

}  // namespace tovarin
