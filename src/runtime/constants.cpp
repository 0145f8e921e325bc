// Making the constants of the process-wide tables.
#include "runtime/constants.hpp"

#include "runtime/text.hpp"

#include <string>
#include <string_view>

namespace rt {
namespace {

// ("a", "b", ...) from "a b ...", each name interned.
Ref keyword_tuple(std::string_view names) {
    Ref list = new_list();
    while (list && !names.empty()) {
        std::size_t end = names.find(' ');
        std::string_view name = names.substr(0, end);
        Ref text = Ref::steal(interned(std::string(name).c_str()));
        if (!text || PyList_Append(list.get(), text.get()) < 0) return {};
        names = end == std::string_view::npos ? std::string_view() : names.substr(end + 1);
    }
    return list ? Ref::steal(PyList_AsTuple(list.get())) : Ref{};
}

}  // namespace

Ref make_constant(const ConstantRecipe& recipe) {
    switch (recipe.kind) {
        case ConstantRecipe::Kind::text: return Ref::steal(interned(recipe.text));
        case ConstantRecipe::Kind::integer: return Ref::steal(PyLong_FromLong(recipe.number));
        case ConstantRecipe::Kind::keywords: return keyword_tuple(recipe.text);
    }
    PyErr_SetString(PyExc_SystemError, "unknown kind of constant");
    return {};
}

}  // namespace rt
