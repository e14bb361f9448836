#include "client/boundary.hpp"

#include "native/calls.hpp"

namespace client {
namespace {

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
const Name kUrlencode("urlencode");
const Name kReport("Report");
const Name kItems("items");
const Name kInit("__init__");
const Name kContentType("content_type");
const Name kContentTypeHeader("Content-Type");
const Name kEmpty("");

// Positions of the builders' parameters (data, prefix, length, boundary, MD5).
enum Arg { kDataArg, kPrefixArg, kLengthArg, kBoundaryArg, kMD5Arg };

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

// How many characters to draw: range(length) is empty for any negative
// length, however large. A length beyond what the interpreter can count
// cannot be drawn: it is refused rather than cut short, which would give a
// short, predictable boundary.
Py_ssize_t draw_count(py::handle length) {
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) native::throw_python_error();
    if (overflow > 0 || count > PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        native::throw_python_error();
    }
    if (overflow < 0 || count < 0) return 0;
    return static_cast<Py_ssize_t>(count);
}

// `length` draws of secrets.choice(chars), joined. The callable is looked up
// once per call and called through vectorcall: no interpreter frame per
// character. The list only ever grows by appending: `choice` is the
// caller's to rebind, and whatever it runs may walk every live object.
py::object random_part(Call& call, py::handle chars) {
    const Py_ssize_t count = draw_count(call.arg(kLengthArg));
    py::object choice = native::getattr(call.global(kSecrets), kChoice);
    py::list drawn;
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::object character = native::call(choice, {chars});
        if (PyList_Append(drawn.ptr(), character.ptr()) < 0) native::throw_python_error();
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

bool is_instance(py::handle value, PyTypeObject* type) {
    int result = PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(type));
    if (result < 0) native::throw_python_error();
    return result != 0;
}

// isinstance(value, (first, second)): the tuple form tests its types in
// order and stops at the first match, as this does.
bool is_instance_of_either(py::handle value, PyTypeObject* first, PyTypeObject* second) {
    return is_instance(value, first) || is_instance(value, second);
}

}  // namespace

py::object boundary_token(Call& call, const TokenRuleLines& lines) {
    call.at(lines.test);
    py::handle given = call.arg(kBoundaryArg);
    if (native::truthy(given)) return py::reinterpret_borrow<py::object>(given);
    call.at(lines.chars);
    py::object chars = alphabet(call);
    py::object boundary;
    if (!call.arg(kPrefixArg).is_none()) {
        call.at(lines.prefix);
        py::object random = random_part(call, chars);
        boundary = expect_str(native::steal_or_throw(
            PyUnicode_FromFormat("%U-%U", call.arg(kPrefixArg).ptr(), random.ptr())));
    } else {
        call.at(lines.digest);
        boundary = expect_str(md5_hex(call, random_part(call, chars)));
    }
    call.at(lines.md5);
    if (native::truthy(call.arg(kMD5Arg))) boundary = expect_str(md5_hex(call, boundary));
    return boundary;
}

namespace {

enum class FieldKind { kContainer, kNumber, kOther };

// Instances of the built-in types cannot change their __class__, so their
// exact type answers the isinstance() tests below without the attribute
// look-ups isinstance() makes; anything else asks isinstance() itself, which
// honours __class__ and __instancecheck__ as the interpreter does.
FieldKind kind_of(py::handle value, bool test_containers) {
    PyObject* object = value.ptr();
    if (PyUnicode_CheckExact(object) || PyBytes_CheckExact(object) || object == Py_None) {
        return FieldKind::kOther;
    }
    if (PyDict_CheckExact(object) || PyList_CheckExact(object)) {
        return test_containers ? FieldKind::kContainer : FieldKind::kOther;
    }
    if (PyLong_CheckExact(object) || PyBool_Check(object) || PyFloat_CheckExact(object)) {
        return FieldKind::kNumber;
    }
    if (test_containers && is_instance_of_either(value, &PyDict_Type, &PyList_Type)) {
        return FieldKind::kContainer;
    }
    return is_instance_of_either(value, &PyLong_Type, &PyFloat_Type) ? FieldKind::kNumber
                                                                     : FieldKind::kOther;
}

}  // namespace

py::object field_value(Call& call, py::handle value, int json_line, int str_line) {
    call.at(json_line);
    py::object result = py::reinterpret_borrow<py::object>(value);
    FieldKind kind = kind_of(result, true);
    if (kind == FieldKind::kContainer) {
        result = native::call_method(call.global(kJson), kDumps, {result});
        kind = kind_of(result, false);
    }
    call.at(str_line);
    if (kind == FieldKind::kNumber) result = native::steal_or_throw(PyObject_Str(result.ptr()));
    return result;
}

native::FunctionDecl urlencode_decl(const char* qualname, int line) {
    return native::FunctionDecl(qualname, line, urlencoded)
        .params({{"data", "dict", ArgTest::kExactDict}})
        .wrapped(native::Wrapper::kStatic);
}

native::FunctionDecl builder_decl(const char* qualname, int line, native::Body body,
                                  std::vector<const char*> locals) {
    return native::FunctionDecl(qualname, line, body)
        .params({{"data", "dict", ArgTest::kExactDict},
                 {"prefix", "str", ArgTest::kStrOrNone, Default::none()},
                 {"length", "int", ArgTest::kExactInt, Default::integer(51)},
                 {"boundary", "str", ArgTest::kStrOrNone, Default::none()},
                 {"MD5", "bool", ArgTest::kAny, Default::false_value()}})
        .locals(std::move(locals))
        .wrapped(native::Wrapper::kStatic);
}

native::FunctionDecl boundary_init_decl(const char* qualname, int line,
                                        const char* data_annotation) {
    return native::FunctionDecl(qualname, line, boundary_init)
        .uses_class_cell()
        .params({{"self"},
                 {"headers", "Dict[str, str]", ArgTest::kExactDict},
                 {"data", data_annotation}})
        .returns("None");
}

py::object items_iterator(py::handle dict) {
    py::object items = native::call_method(dict, kItems);
    return native::steal_or_throw(PyObject_GetIter(items.ptr()));
}

py::object urlencoded(Call& call) {
    call.at(call.def_line() + 1);
    return native::call(call.global(kUrlencode), {call.arg(0)});
}

py::object define_boundary_class(Call& call, const native::ClassDecl& decl,
                                 const native::FunctionDecl& init, int line) {
    call.at(line);
    native::ClassStatement statement(call.globals(), decl,
                                     native::tuple_of({call.global(kReport)}));
    statement.def(init);
    return statement.create();
}

py::object boundary_init(Call& call) {
    py::handle self = call.arg(0);
    call.at(call.def_line() + 1);
    native::call_method(native::zero_arg_super(call, self), kInit);
    call.at(call.def_line() + 2);
    native::setattr(self, kHeaders, call.arg(1));
    call.at(call.def_line() + 3);
    native::setattr(self, kData, call.arg(2));
    return py::none();
}

py::object boundary_result(py::handle boundary_class, py::handle body) {
    py::dict headers;
    headers[kContentTypeHeader.handle()] = native::getattr(body, kContentType);
    return native::call(boundary_class, {},
                        {native::Keyword{kHeaders, headers}, native::Keyword{kData, body}});
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
