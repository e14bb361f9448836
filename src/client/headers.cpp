#include "client/headers.hpp"

#include "native/calls.hpp"

namespace client {
namespace {

const Name kKeys("keys");
const Name kValues("values");
const Name kLower("lower");
const Name kVersion("VERSION_SDK");
const Name kFormat("format");
const Name kUserAgent("User-Agent");
const Name kAgentTemplate("Pelun-Online/{}");

py::object iterate(py::handle dict, const Name& view) {
    py::object items = native::call_method(dict, view);
    return native::steal_or_throw(PyObject_GetIter(items.ptr()));
}

// zip(extra_headers.keys(), extra_headers.values()): keys and values are
// paired in step, and the views see any change a lower() makes to the dict.
void merge_extra(py::handle extra_headers, py::dict& headers) {
    py::object keys = iterate(extra_headers, kKeys);
    py::object values = iterate(extra_headers, kValues);
    while (true) {
        PyObject* key = PyIter_Next(keys.ptr());
        if (key == nullptr) break;
        py::object key_owner = py::reinterpret_steal<py::object>(key);
        PyObject* value = PyIter_Next(values.ptr());
        if (value == nullptr) break;
        py::object value_owner = py::reinterpret_steal<py::object>(value);
        py::object lowered = native::call_method(key_owner, kLower);
        update_with_keyword(headers, lowered, value_owner);
    }
    if (PyErr_Occurred()) native::throw_python_error();
}

}  // namespace

native::FunctionDecl session_factory_decl(const char* qualname, int line, native::Body body,
                                          std::vector<const char*> locals) {
    return native::FunctionDecl(qualname, line, body)
        .params({{"extra_headers", "Dict[str, str]", ArgTest::kExactDict, Default::new_dict()},
                 {"proxy", "Union[Proxy, None]", ArgTest::kAny, Default::none()}})
        .locals(std::move(locals))
        .wrapped(native::Wrapper::kStatic);
}

void update_with_keyword(py::handle dict, py::handle key, py::handle value) {
    if (!PyUnicode_Check(key.ptr())) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        native::throw_python_error();
    }
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) native::throw_python_error();
}

py::dict merge_headers(native::Call& call, py::handle extra_headers, const HeaderRuleLines& lines) {
    call.at(lines.create);
    py::dict headers;
    call.at(lines.merge);
    if (native::truthy(extra_headers)) merge_extra(extra_headers, headers);
    call.at(lines.user_agent);
    py::object name = native::call_method(kUserAgent.handle(), kLower);
    PyObject* found = PyDict_GetItemWithError(headers.ptr(), name.ptr());
    if (found == nullptr && PyErr_Occurred()) native::throw_python_error();
    py::object current = py::reinterpret_borrow<py::object>(found ? found : Py_None);
    if (!native::truthy(current)) {
        py::object agent =
            native::call_method(kAgentTemplate.handle(), kFormat, {call.global(kVersion)});
        update_with_keyword(headers, name, agent);
    }
    return headers;
}

}  // namespace client
