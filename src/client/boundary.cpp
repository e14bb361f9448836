#include "client/boundary.hpp"

#include "native/calls.hpp"

namespace client {
namespace {

using native::Call;
using native::Name;

const Name kString("string");
const Name kAsciiLetters("ascii_letters");
const Name kDigits("digits");
const Name kSecrets("secrets");
const Name kChoice("choice");
const Name kHashMD5("HashMD5");
const Name kNew("new");
const Name kHexdigest("hexdigest");
const Name kJson("json");
const Name kDumps("dumps");
const Name kExtraChars("._-");
const Name kEmpty("");

enum Arg { kData, kPrefix, kLength, kBoundary, kMD5 };

py::object add(py::handle left, py::handle right) {
    return native::steal_or_throw(PyNumber_Add(left.ptr(), right.ptr()));
}

// The alphabet is rebuilt on every generation: `string` may be rebound.
py::object alphabet(Call& call) {
    py::object string = call.global(kString);
    py::object letters_digits =
        add(native::getattr(string, kAsciiLetters), native::getattr(string, kDigits));
    return add(letters_digits, kExtraChars.handle());
}

// `length` draws of secrets.choice(chars), joined. The callable is looked up
// once per call and called through vectorcall: no interpreter frame per
// character.
py::object random_part(Call& call, py::handle chars) {
    const Py_ssize_t length = PyLong_AsSsize_t(call.arg(kLength).ptr());
    if (length == -1 && PyErr_Occurred()) native::throw_python_error();
    py::object choice = native::getattr(call.global(kSecrets), kChoice);
    py::list drawn(length > 0 ? length : 0);
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyList_SET_ITEM(drawn.ptr(), i, native::call(choice, {chars}).release().ptr());
    }
    return native::steal_or_throw(PyUnicode_Join(kEmpty.ptr(), drawn.ptr()));
}

py::object md5_hex(Call& call, py::handle text) {
    py::object encoded = native::steal_or_throw(PyUnicode_AsUTF8String(text.ptr()));
    py::object hash = native::call_method(call.global(kHashMD5), kNew, {encoded});
    return native::call_method(hash, kHexdigest);
}

// Every boundary the rule produces must be a str (a rebound HashMD5 could
// return anything).
py::object expect_str(py::object value) {
    if (!value.is_none() && !PyUnicode_CheckExact(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     Py_TYPE(value.ptr())->tp_name);
        native::throw_python_error();
    }
    return value;
}

bool is_instance(py::handle value, PyObject* types) {
    int result = PyObject_IsInstance(value.ptr(), types);
    if (result < 0) native::throw_python_error();
    return result != 0;
}

}  // namespace

py::object boundary_token(Call& call, const TokenRuleLines& lines) {
    call.at(lines.test);
    py::handle given = call.arg(kBoundary);
    if (native::truthy(given)) return py::reinterpret_borrow<py::object>(given);
    call.at(lines.chars);
    py::object chars = alphabet(call);
    py::object boundary;
    if (!call.arg(kPrefix).is_none()) {
        call.at(lines.prefix);
        py::object random = random_part(call, chars);
        boundary = expect_str(native::steal_or_throw(
            PyUnicode_FromFormat("%U-%U", call.arg(kPrefix).ptr(), random.ptr())));
    } else {
        call.at(lines.digest);
        boundary = expect_str(md5_hex(call, random_part(call, chars)));
    }
    call.at(lines.md5);
    if (native::truthy(call.arg(kMD5))) boundary = expect_str(md5_hex(call, boundary));
    return boundary;
}

py::object field_value(Call& call, py::handle value, int json_line, int str_line) {
    // isinstance() rather than a type-flag test: it honours __class__ and
    // __instancecheck__ as the interpreter does.
    static PyObject* const containers = PyTuple_Pack(2, &PyDict_Type, &PyList_Type);
    static PyObject* const numbers = PyTuple_Pack(2, &PyLong_Type, &PyFloat_Type);
    if (containers == nullptr || numbers == nullptr) native::throw_python_error();
    call.at(json_line);
    py::object result = py::reinterpret_borrow<py::object>(value);
    if (is_instance(result, containers)) {
        result = native::call_method(call.global(kJson), kDumps, {result});
    }
    call.at(str_line);
    if (is_instance(result, numbers)) result = native::steal_or_throw(PyObject_Str(result.ptr()));
    return result;
}

bool next_item(py::handle iterator, py::object& key, py::object& value) {
    PyObject* item = PyIter_Next(iterator.ptr());
    if (item == nullptr) {
        if (PyErr_Occurred()) native::throw_python_error();
        return false;
    }
    py::object pair = py::reinterpret_steal<py::object>(item);
    key = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item, 0));
    value = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item, 1));
    return true;
}

}  // namespace client
