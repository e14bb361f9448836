#include "native/detail/messages.hpp"

#include <cstring>

#include "native/detail/compat.hpp"

namespace native {
namespace {

// A message assembled in a fixed buffer: every part is bounded, so it
// cannot overflow (the longest is three 200-byte names and the literals).
class Message {
public:
    // A part known to be ASCII: the literals, and the module's own function
    // and parameter names.
    Message& text(const char* part, size_t limit = kUnlimited) {
        size_t length = std::strlen(part);
        if (length > limit) length = limit;
        if (length > kCapacity - size_) length = kCapacity - size_;
        std::memcpy(buffer_ + size_, part, length);
        size_ += length;
        return *this;
    }

    // A part that may hold UTF-8 (a type's name), cut after `limit` bytes
    // like "%.<limit>s". One such part per message.
    Message& foreign_text(const char* part, size_t limit) {
        size_t start = size_;
        text(part, limit);
        for (size_t i = start; i < size_ && ascii_; ++i) {
            ascii_ = static_cast<unsigned char>(buffer_[i]) < 0x80;
        }
        if (!ascii_) {
            foreign_start_ = start;
            foreign_size_ = size_ - start;
            // The interpreter reads no further than `limit` bytes, so a part
            // that long may end inside a character whatever its NUL says.
            foreign_cut_ = foreign_size_ == limit;
        }
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

    // New reference, or nullptr with an error set. ASCII text is copied
    // straight into a new str.
    PyObject* unicode() const {
        if (!ascii_) return foreign_unicode();
        const auto size = static_cast<Py_ssize_t>(size_);
        PyObject* text = PyUnicode_New(size, 127);
        if (text != nullptr) std::memcpy(PyUnicode_DATA(text), buffer_, size_);
        return text;
    }

    // The message followed by `object` and then `tail`, as one str. An ASCII
    // object (a keyword name, nearly always) is copied in like the rest.
    PyObject* unicode_around(PyObject* object, const char* tail) {
        if (!compat::ready(object)) return nullptr;
        const Py_ssize_t length = PyUnicode_GET_LENGTH(object);
        if (PyUnicode_IS_ASCII(object) && static_cast<size_t>(length) < kCapacity - size_ - 8) {
            std::memcpy(buffer_ + size_, PyUnicode_DATA(object), static_cast<size_t>(length));
            size_ += static_cast<size_t>(length);
            return text(tail).unicode();
        }
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
    // The foreign part decoded on its own, as PyUnicode_FromFormat decodes
    // a "%.200s" argument, between the ASCII text around it. A cut part
    // keeps an incomplete character at its end as U+FFFD up to 3.13; 3.14
    // leaves it out (only a sequence that could still have been completed:
    // bytes that can start no character are replaced as before).
    PyObject* foreign_unicode() const {
        const char* foreign = buffer_ + foreign_start_;
        Py_ssize_t consumed = static_cast<Py_ssize_t>(foreign_size_);
        Py_ssize_t* const pconsumed =
            compat::kFormatDropsCutCharacter && foreign_cut_ ? &consumed : nullptr;
        py::object head = py::reinterpret_steal<py::object>(
            PyUnicode_FromStringAndSize(buffer_, static_cast<Py_ssize_t>(foreign_start_)));
        if (!head) return nullptr;
        py::object middle = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8Stateful(foreign, consumed, "replace", pconsumed));
        if (!middle) return nullptr;
        const size_t tail_start = foreign_start_ + foreign_size_;
        py::object tail = py::reinterpret_steal<py::object>(PyUnicode_FromStringAndSize(
            buffer_ + tail_start, static_cast<Py_ssize_t>(size_ - tail_start)));
        if (!tail) return nullptr;
        py::object joined =
            py::reinterpret_steal<py::object>(PyUnicode_Concat(head.ptr(), middle.ptr()));
        if (!joined) return nullptr;
        return PyUnicode_Concat(joined.ptr(), tail.ptr());
    }

    static constexpr size_t kCapacity = 1024;
    char buffer_[kCapacity];
    size_t size_ = 0;
    bool ascii_ = true;
    size_t foreign_start_ = 0;
    size_t foreign_size_ = 0;
    bool foreign_cut_ = false;
};

bool set_type_error(PyObject* message) {
    if (message == nullptr) return false;  // the error of building it is set
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
    return false;
}

}  // namespace

bool set_positional_count_error(const char* function, const char* bound, Py_ssize_t expected,
                                Py_ssize_t given) {
    Message message;
    message.text(function, 200).text("() takes ").text(bound, 8).text(" ").number(expected);
    message.text(" positional argument").text(expected == 1 ? "" : "s").text(" (").number(given);
    return set_type_error(message.text(" given)").unicode());
}

bool set_incorrect_type_error(const char* parameter, const char* expected, PyTypeObject* given) {
    Message message;
    message.text("Argument '").text(parameter, 200).text("' has incorrect type (expected ");
    message.text(expected, 200).text(", got ").foreign_text(given->tp_name, 200).text(")");
    return set_type_error(message.unicode());
}

bool set_unexpected_keyword_error(const char* function, PyObject* keyword) {
    Message message;
    message.text(function).text("() got an unexpected keyword argument '");
    return set_type_error(message.unicode_around(keyword, "'"));
}

bool set_multiple_values_error(const char* function, PyObject* keyword) {
    Message message;
    message.text(function).text("() got multiple values for keyword argument '");
    return set_type_error(message.unicode_around(keyword, "'"));
}

bool set_keywords_must_be_strings_error(const char* function) {
    Message message;
    return set_type_error(
        message.text(function, 200).text("() keywords must be strings").unicode());
}

}  // namespace native
