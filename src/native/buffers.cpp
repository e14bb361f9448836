#include "native/buffers.hpp"

#include "native/detail/capi.hpp"

namespace native {

ByteView::ByteView(py::handle object) {
    PyObject* raw = object.ptr();
    // The usual case, bytes read from a socket, needs no exported buffer.
    if (PyBytes_CheckExact(raw)) {
        data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(raw));
        size_ = static_cast<size_t>(PyBytes_GET_SIZE(raw));
        return;
    }
    check(PyObject_GetBuffer(raw, &exported_, PyBUF_SIMPLE));
    has_export_ = true;
    data_ = static_cast<const uint8_t*>(exported_.buf);
    size_ = static_cast<size_t>(exported_.len);
}

ByteView::~ByteView() {
    if (has_export_) PyBuffer_Release(&exported_);
}

}  // namespace native
