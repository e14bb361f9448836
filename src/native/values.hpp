// Operators, type tests and container operations with the interpreter's
// semantics, for bodies that must behave like the Python statements they
// stand for. Every value returned is owned; new objects of the built-in
// types come from new_objects.hpp.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native/names.hpp"
#include "native/new_objects.hpp"

namespace native {

// --- operators ------------------------------------------------------------------

py::object add(py::handle left, py::handle right);           // left + right
py::object invert(py::handle value);                         // ~value
py::object and_in_place(py::handle left, py::handle right);  // left &= right
py::object str_of(py::handle value);                         // str(value)
// The strs `parts` joined, as "".join(parts) would.
py::object concat(std::initializer_list<py::handle> parts);
// "".join(items) over a list of strs.
py::object join(const py::list& items);
// The UTF-8 bytes of a str, as text.encode() gives them.
py::object utf8_bytes(py::handle text);
// item in container
bool contains(py::handle container, py::handle item);

// The first character of a str, or byte of a bytes object, that `accept`
// refuses, as a one-character str (a byte as its Latin-1 character); empty
// when every one passes, and for any other type. `accept` sees code points.
py::object first_refused_character(py::handle text, bool (*accept)(uint32_t code_point));

// The number of items range(n) has for an int n: none for any negative n,
// however large; OverflowError past what the interpreter can count.
Py_ssize_t range_length(py::handle n);
// float(number), as a C double: TypeError for an object that is no number.
double as_double(py::handle number);
// format(value, "g"): the text f"{value:g}" gives for a float.
std::string format_general(double value);

// --- type tests ---------------------------------------------------------------------

enum class BuiltinType { kDict, kList, kInt, kFloat, kBool, kStr, kBytes, kNone };

// The built-in type value is exactly of (kNone: value is None), if any.
std::optional<BuiltinType> exact_builtin_type(py::handle value);
// isinstance(value, type): honours __class__ and __instancecheck__.
bool is_instance(py::handle value, BuiltinType type);

// Raises TypeError "Expected <expected>, got <type(value).__name__>".
[[noreturn]] void raise_expected(const char* expected, py::handle value);
// Raises ValueError with `message` (a str).
[[noreturn]] void raise_value_error(py::handle message);

// --- containers ----------------------------------------------------------------------

void append(const py::list& list, py::handle item);

// dict[key], or an empty object when the key is absent.
py::object dict_get(const py::dict& dict, py::handle key);
bool dict_contains(const py::dict& dict, py::handle key);
void dict_set(const py::dict& dict, py::handle key, py::handle value);
void dict_update(const py::dict& dict, py::handle other);
// The entries of a dict, owned: a snapshot that later changes to the dict
// do not reach.
std::vector<std::pair<py::object, py::object>> dict_items(const py::dict& dict);
// dict.update(**{key: value}) on a plain dict: only str keys are allowed as
// keyword names ("keywords must be strings" otherwise).
void dict_update_keyword(py::handle dict, py::handle key, py::handle value);

// iter(iterable), walked with next().
class Iterator {
public:
    explicit Iterator(py::handle iterable);
    // The next item, or false when the iterator is exhausted.
    bool next(py::object& item);

private:
    py::object iterator_;
};

// The two items of a pair (a 2-tuple the caller owns).
void unpack_pair(const py::object& pair, py::object& first, py::object& second);

}  // namespace native
