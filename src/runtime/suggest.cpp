// The interpreter's "Did you mean" distance, for mistyped keyword names.
#include "runtime/suggest.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace rt {
namespace {

constexpr std::size_t max_string_size = 40;
constexpr std::size_t move_cost = 2;
constexpr std::size_t case_cost = 1;

std::size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return move_cost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? case_cost : move_cost;
}

// Edit distance of a and b, or max_cost + 1 once it is certain to exceed max_cost.
std::size_t levenshtein(std::string_view a, std::string_view b, std::size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) return (a.size() + b.size()) * move_cost;
    if (a.size() > max_string_size || b.size() > max_string_size) return max_cost + 1;
    if (b.size() < a.size()) std::swap(a, b);
    if ((b.size() - a.size()) * move_cost > max_cost) return max_cost + 1;

    std::array<std::size_t, max_string_size> row{};
    for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * move_cost;
    std::size_t result = 0;
    for (std::size_t bi = 0; bi < b.size(); ++bi) {
        std::size_t distance = result = bi * move_cost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t ai = 0; ai < a.size(); ++ai) {
            std::size_t substitute = distance + substitution_cost(b[bi], a[ai]);
            distance = row[ai];
            std::size_t insert_delete = std::min(result, distance) + move_cost;
            result = std::min(insert_delete, substitute);
            row[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

}  // namespace

Ref suggest_name(PyObject* candidates, PyObject* name) {
    if (!PyUnicode_Check(name)) return {};
    // A name without a UTF-8 form (a lone surrogate) gets no suggestion, and the encoding
    // error is dropped: the interpreter reports such a keyword without a "Did you mean".
    std::string_view wanted = utf8_of(name);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return {};
    }
    PyObject* best = nullptr;
    std::size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(candidates); ++i) {
        PyObject* item = PyTuple_GET_ITEM(candidates, i);
        if (PyUnicode_Compare(item, name) == 0) continue;
        std::string_view text = utf8_of(item);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return {};
        }
        std::size_t limit = std::min((wanted.size() + text.size() + 3) * move_cost / 6, best_distance - 1);
        std::size_t distance = levenshtein(wanted, text, limit);
        if (distance > limit) continue;
        if (!best || distance < best_distance) {
            best = item;
            best_distance = distance;
        }
    }
    return Ref::borrow(best);
}

}  // namespace rt
