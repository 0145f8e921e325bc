// Process-wide constant tables: interned texts, small ints and tuples of keyword names, each
// table declared as one list and made all or nothing, so a load that fails halfway leaves an
// empty table that the next load makes again from the start.
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

constexpr ConstantRecipe text(const char* utf8) { return {.kind = ConstantRecipe::Kind::text, .text = utf8}; }
constexpr ConstantRecipe integer(long value) { return {.kind = ConstantRecipe::Kind::integer, .number = value}; }
// A tuple of interned keyword names, e.g. keywords("headers json timeout").
constexpr ConstantRecipe keywords(const char* names) {
    return {.kind = ConstantRecipe::Kind::keywords, .text = names};
}

Ref make_constant(const ConstantRecipe& recipe);

// One row of a table: which field of the table struct, and how its value is made.
template <class Table>
struct ConstantRow {
    PyObject* Table::* member;
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
            for (std::size_t j = 0; j < i; ++j) Ref::steal(made.*rows[j].member).reset();
            return false;
        }
        made.*rows[i].member = value.release();
    }
    made.ready = true;
    table = made;
    return true;
}

}  // namespace rt

// The struct field, and the row, of one entry `X(name, recipe)` of a table's list.
#define RT_CONSTANT_FIELD(name, recipe) PyObject* name = nullptr;
#define RT_CONSTANT_ROW(name, how) {.member = &Constants::name, .recipe = how},

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
