#include "native/messages.hpp"

#include <cstring>

namespace native {
namespace {

// A message assembled in a fixed buffer: every part is bounded, so it
// cannot overflow (the longest is three 200-byte names and the literals).
class Message {
public:
    Message& text(const char* part, size_t limit = kUnlimited) {
        size_t length = std::strlen(part);
        if (length > limit) length = limit;
        if (length > kCapacity - size_) length = kCapacity - size_;
        std::memcpy(buffer_ + size_, part, length);
        size_ += length;
        return *this;
    }

    Message& number(Py_ssize_t value) {
        char digits[24];
        size_t count = 0;
        bool negative = value < 0;
        // Digits of the magnitude, without negating (PY_SSIZE_T_MIN has no positive twin).
        do {
            Py_ssize_t digit = value % 10;
            digits[count++] = static_cast<char>('0' + (digit < 0 ? -digit : digit));
            value /= 10;
        } while (value != 0);
        if (negative) digits[count++] = '-';
        while (count > 0 && size_ < kCapacity) buffer_[size_++] = digits[--count];
        return *this;
    }

    // New reference, or nullptr with an error set. Names are ASCII almost
    // always: such text is copied straight into a new str.
    PyObject* unicode() const {
        for (size_t i = 0; i < size_; ++i) {
            if (static_cast<unsigned char>(buffer_[i]) >= 0x80) {
                return PyUnicode_DecodeUTF8(buffer_, static_cast<Py_ssize_t>(size_), "replace");
            }
        }
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size_), 127);
        if (text != nullptr) std::memcpy(PyUnicode_DATA(text), buffer_, size_);
        return text;
    }

    // The message followed by `object` and then `tail`, as one str.
    PyObject* unicode_around(PyObject* object, const char* tail) const {
        py::object head = py::reinterpret_steal<py::object>(unicode());
        if (!head) return nullptr;
        py::object middle = py::reinterpret_steal<py::object>(PyUnicode_Concat(head.ptr(), object));
        if (!middle) return nullptr;
        py::object end = py::reinterpret_steal<py::object>(PyUnicode_FromString(tail));
        if (!end) return nullptr;
        return PyUnicode_Concat(middle.ptr(), end.ptr());
    }

    static constexpr size_t kUnlimited = static_cast<size_t>(-1);

private:
    static constexpr size_t kCapacity = 1024;
    char buffer_[kCapacity];
    size_t size_ = 0;
};

bool raise_type_error(PyObject* message) {
    if (message == nullptr) return false;  // the error of building it is set
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    return false;
}

}  // namespace

bool raise_positional_count(const char* function, const char* bound, Py_ssize_t expected,
                            Py_ssize_t given) {
    Message message;
    message.text(function, 200).text("() takes ").text(bound, 8).text(" ").number(expected);
    message.text(" positional argument").text(expected == 1 ? "" : "s").text(" (").number(given);
    return raise_type_error(message.text(" given)").unicode());
}

bool raise_incorrect_type(const char* parameter, const char* expected, PyTypeObject* given) {
    Message message;
    message.text("Argument '").text(parameter, 200).text("' has incorrect type (expected ");
    message.text(expected, 200).text(", got ").text(given->tp_name, 200).text(")");
    return raise_type_error(message.unicode());
}

bool raise_unexpected_keyword(const char* function, PyObject* keyword) {
    Message message;
    message.text(function).text("() got an unexpected keyword argument '");
    return raise_type_error(message.unicode_around(keyword, "'"));
}

bool raise_multiple_values(const char* function, PyObject* keyword) {
    Message message;
    message.text(function).text("() got multiple values for keyword argument '");
    return raise_type_error(message.unicode_around(keyword, "'"));
}

bool raise_keywords_must_be_strings(const char* function) {
    Message message;
    return raise_type_error(
        message.text(function, 200).text("() keywords must be strings").unicode());
}

}  // namespace native
