#include "native/boxes.hpp"

#include "native/detail/capi.hpp"

namespace native {
namespace detail {

namespace {

using Destroy = void (*)(void*);

// The capsule's destructor: its context holds how to free its contents.
void destroy_box(PyObject* capsule) {
    const char* tag = PyCapsule_GetName(capsule);
    auto destroy = reinterpret_cast<Destroy>(PyCapsule_GetContext(capsule));
    // No context: the box was never handed out, and its maker still owns the contents.
    if (destroy != nullptr) destroy(PyCapsule_GetPointer(capsule, tag));
}

}  // namespace

py::object new_box(void* contents, const char* tag, void (*destroy)(void*)) {
    py::object capsule = steal(PyCapsule_New(contents, tag, destroy_box));
    check(PyCapsule_SetContext(capsule.ptr(), reinterpret_cast<void*>(destroy)));
    return capsule;
}

void* box_contents(py::handle box, const char* tag) {
    if (!PyCapsule_IsValid(box.ptr(), tag)) {
        raise_error(PyExc_TypeError, "expected a box of the module's own making");
    }
    return PyCapsule_GetPointer(box.ptr(), tag);
}

}  // namespace detail
}  // namespace native
