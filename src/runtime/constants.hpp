// Process-wide constant tables: interned texts, small ints and tuples of keyword names (their
// count in their type), each table declared as one list and made all or nothing, so a load that
// fails halfway leaves an empty table that the next load makes again from the start.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace rt {

// How one constant is made.
struct ConstantRecipe {
    enum class Kind : std::uint8_t { text, integer, keywords };
    Kind kind = Kind::text;
    const char* text = nullptr;  // the text; the keyword names, separated by spaces
    long number = 0;
};

// A tuple of `Count` interned keyword names. The count is part of the type, so that a call
// passing another number of values for them does not compile (call.hpp).
template <std::size_t Count>
struct Keywords {
    PyObject* names = nullptr;
};

// A recipe, and the type of the table field that holds what it makes.
template <class F>
struct Recipe : ConstantRecipe {
    using Field = F;
};

// The names of a keyword tuple as a template argument: "a b c", one space between names.
template <std::size_t N>
struct NameList {
    char text[N];

    consteval NameList(const char (&names)[N]) {  // NOLINT: implicit by design
        for (std::size_t i = 0; i < N; ++i) text[i] = names[i];
    }
    // How many names the text holds; an empty name is not a constant expression, so it does not
    // compile, and the count always equals the size of the tuple made from the text.
    consteval std::size_t count() const {
        if (N == 1) throw "a keyword list has no name";
        std::size_t names = 1;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            if (text[i] != ' ') continue;
            if (i == 0 || i + 2 == N || text[i + 1] == ' ') throw "a keyword list has an empty name";
            ++names;
        }
        return names;
    }
};

constexpr Recipe<PyObject*> text(const char* utf8) { return {{.kind = ConstantRecipe::Kind::text, .text = utf8}}; }
constexpr Recipe<PyObject*> integer(long value) {
    return {{.kind = ConstantRecipe::Kind::integer, .number = value}};
}
// A tuple of interned keyword names, e.g. keywords<"headers json timeout">().
template <NameList names>
constexpr Recipe<Keywords<names.count()>> keywords() {
    return {{.kind = ConstantRecipe::Kind::keywords, .text = names.text}};
}

// The reference a field holds.
inline PyObject*& slot(PyObject*& field) { return field; }
template <std::size_t Count>
PyObject*& slot(Keywords<Count>& field) {
    return field.names;
}

Ref make_constant(const ConstantRecipe& recipe);

// One row of a table: which field of the table struct, and how its value is made.
template <class Table>
struct ConstantRow {
    PyObject*& (*field)(Table&);
    ConstantRecipe recipe;
};

// Fills every field of `table` from `rows`, once per process. On a failure the values made so
// far are released and `table` is left as it was, with the error set.
template <class Table, std::size_t N>
bool make_table(Table& table, const ConstantRow<Table> (&rows)[N]) {
    if (table.ready) return true;
    Table made{};
    for (std::size_t i = 0; i < N; ++i) {
        Ref value = make_constant(rows[i].recipe);
        if (!value) {
            for (std::size_t j = 0; j < i; ++j) Ref::steal(rows[j].field(made)).reset();
            return false;
        }
        rows[i].field(made) = value.release();
    }
    made.ready = true;
    table = made;
    return true;
}

}  // namespace rt

// The struct field, and the row, of one entry `X(name, recipe)` of a table's list.
#define RT_CONSTANT_FIELD(name, recipe) decltype(recipe)::Field name{};
#define RT_CONSTANT_ROW(name, how) \
    {.field = [](Constants& table) -> PyObject*& { return rt::slot(table.name); }, .recipe = how},

// Declares, in the current namespace, the table of the X-macro list LIST: the struct
// `Constants` with one field per entry, the process-wide `constants`, and `constants_ready()`,
// which makes the table once per process (false with an error set when that fails).
#define RT_CONSTANT_TABLE(LIST)                                                       \
    struct Constants {                                                                \
        LIST(RT_CONSTANT_FIELD)                                                       \
        bool ready = false;                                                           \
    };                                                                                \
    inline Constants constants;                                                       \
    inline bool constants_ready() {                                                   \
        static constexpr rt::ConstantRow<Constants> rows[] = {LIST(RT_CONSTANT_ROW)}; \
        return rt::make_table(constants, rows);                                       \
    }
