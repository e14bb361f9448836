// The bytes of a bytes-like object, read in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/py.hpp"

namespace native {

// A read-only view of the bytes of `object`: a bytes object's own storage,
// or the buffer any other bytes-like object exports, released with the
// view. TypeError for an object that exports none. The caller keeps
// `object` alive for as long as the view lives.
class ByteView {
public:
    explicit ByteView(py::handle object);
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView();

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    Py_buffer exported_{};
    bool has_export_ = false;
};

}  // namespace native
