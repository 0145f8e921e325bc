// Declarative method tables: everything Python can see about a method, and everything the
// binder checks, is declared once per method.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace rt {

// The exact-type check of an argument, read off its annotation text.
enum class Exact : std::uint8_t { unchecked, str, bytes, list, dict };

struct TypeCheck {
    Exact type = Exact::unchecked;
    bool admits_none = false;
};

// "str", "bytes", "list" and "dict" (and "List[...]", "Dict[...]") mean that exact type;
// "Optional[X]" admits None besides X; any other text is not checked at run time.
constexpr TypeCheck check_from_annotation(std::string_view text) {
    constexpr std::string_view optional = "Optional[";
    if (text.starts_with(optional) && text.ends_with("]")) {
        TypeCheck inner = check_from_annotation(text.substr(optional.size(), text.size() - optional.size() - 1));
        inner.admits_none = true;
        return inner;
    }
    if (text == "str") return {Exact::str};
    if (text == "bytes") return {Exact::bytes};
    if (text == "list" || text.starts_with("List[")) return {Exact::list};
    if (text == "dict" || text.starts_with("Dict[")) return {Exact::dict};
    return {};
}

struct Default {
    enum class Kind : std::uint8_t { required, none, str };
    Kind kind = Kind::required;
    const char* text = nullptr;

    static constexpr Default none() { return {Kind::none, nullptr}; }
    static constexpr Default str(const char* text) { return {Kind::str, text}; }
    constexpr bool present() const { return kind != Kind::required; }
};

// One positional-or-keyword parameter.
struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored verbatim in __annotations__; nullptr: none
    Default fallback = {};
    bool none_also = false;  // admit None even where the annotation does not say Optional

    constexpr TypeCheck check() const {
        TypeCheck c = annotation ? check_from_annotation(annotation) : TypeCheck{};
        c.admits_none = c.admits_none || none_also;
        return c;
    }
};

// What a method body receives: borrowed arguments in table order, the call's own fresh
// kwargs dict (nullptr for a method without **kwargs), and the function object called.
struct CallFrame {
    PyObject* const* args;
    PyObject* kwargs;
    PyObject* function;

    PyObject* self() const { return args[0]; }
};

using Body = Ref (*)(const CallFrame&);

enum class Kind : std::uint8_t { instance, static_method };
// Whether the method collects keywords that name no parameter into a fresh `kwargs` dict.
enum class Varkw : std::uint8_t { no, yes };

struct Method {
    const char* name;
    std::span<const Param> params;
    Varkw varkw = Varkw::no;
    const char* returns = nullptr;  // return annotation text, or nullptr
    const char* doc = nullptr;      // docstring, or nullptr
    Kind kind = Kind::instance;
    Body body = nullptr;
};

template <std::size_t N>
consteval std::size_t index_of(const Param (&table)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (std::string_view(table[i].name) == name) return i;
    }
    throw "no parameter of that name";  // not a constant expression: a typo fails to compile
}

// Typed access to a call's arguments by parameter name, checked at compile time:
// `Args<start_params> a(frame); a["prompt"]`.
template <const auto& Table>
class Args {
public:
    struct Name {
        std::size_t index;
        consteval Name(const char* name) : index(index_of(Table, name)) {}  // NOLINT: implicit by design
    };

    explicit Args(const CallFrame& frame) : frame_(frame) {}
    PyObject* operator[](Name name) const { return frame_.args[name.index]; }
    PyObject* kwargs() const { return frame_.kwargs; }
    PyObject* self() const { return frame_.self(); }
    const CallFrame& frame() const { return frame_; }

private:
    const CallFrame& frame_;
};

}  // namespace rt
