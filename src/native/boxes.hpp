// C++ objects owned by Python objects: state that Python code carries from
// one call of the module to the next without looking into it.
#pragma once

#include <memory>

#include "native/detail/compat.hpp"
#include "native/py.hpp"

namespace native {

// A lock for a box's contents where two threads may reach them at once,
// held over C++ that runs no Python code: a real lock on free-threaded
// builds, nothing where the GIL already keeps the threads apart.
using BoxLock = compat::Mutex;

namespace detail {
py::object new_box(void* contents, const char* tag, void (*destroy)(void*));
void* box_contents(py::handle box, const char* tag);
}  // namespace detail

// A new Python object owning `value` (freed with it). T names its boxes
// with `static constexpr const char* kBoxTag`, which unbox() checks.
template <class T>
py::object box(std::unique_ptr<T> value) {
    py::object made = detail::new_box(value.get(), T::kBoxTag,
                                      [](void* contents) { delete static_cast<T*>(contents); });
    value.release();
    return made;
}

// The T that `box` owns; TypeError when it is not a box of T. Valid for as
// long as `box` lives.
template <class T>
T& unbox(py::handle box) {
    return *static_cast<T*>(detail::box_contents(box, T::kBoxTag));
}

}  // namespace native
