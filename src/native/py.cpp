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
