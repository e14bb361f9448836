#include "native/py.hpp"

#include <exception>

#include "native/detail/compat.hpp"

namespace native {

PythonError::PythonError() noexcept
    : exception_(py::reinterpret_steal<py::object>(compat::take_raised_exception())) {
    assert(exception_ && "PythonError thrown with no Python exception set");
    if (!exception_) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exception_ = py::reinterpret_steal<py::object>(compat::take_raised_exception());
    }
}

PythonError::PythonError(PythonError&& other) noexcept = default;

PythonError::~PythonError() = default;

void PythonError::restore() noexcept {
    compat::set_raised_exception(exception_.release().ptr());
}

void PythonError::set_context(const PythonError& context) {
    if (exception_.is(context.exception_)) return;
    PyException_SetContext(exception_.ptr(), context.exception_.inc_ref().ptr());
}

bool PythonError::matches(py::handle type) const {
    return PyErr_GivenExceptionMatches(exception_.ptr(), type.ptr()) != 0;
}

py::object PythonError::type() const {
    return py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(Py_TYPE(exception_.ptr())));
}

py::object PythonError::value() const {
    return exception_;
}

py::object PythonError::traceback() const {
    PyObject* traceback = PyException_GetTraceback(exception_.ptr());
    return traceback == nullptr ? py::none() : py::reinterpret_steal<py::object>(traceback);
}

void raise_error() {
    throw PythonError();
}

void raise_error(py::handle type, const char* message) {
    PyErr_SetString(type.ptr(), message);
    throw PythonError();
}

void raise_from_none(py::handle type, const char* message, const PythonError& handling) {
    PyErr_SetString(type.ptr(), message);
    PythonError raised;
    raised.set_context(handling);
    // A cause of None also sets __suppress_context__, as `from None` does.
    PyException_SetCause(raised.value().ptr(), py::none().release().ptr());
    throw raised;
}

void raise_from(py::handle type, const PythonError& cause) {
    py::object value = cause.value();
    PyObject* made = PyObject_CallFunctionObjArgs(type.ptr(), value.ptr(), nullptr);
    if (made == nullptr) raise_error();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made)), made);
    Py_DECREF(made);
    PythonError raised;
    raised.set_context(cause);
    PyException_SetCause(raised.value().ptr(), value.release().ptr());
    throw raised;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& error) {  // from a pybind11 call
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace native
