// The owning reference handle and the one error type both extension
// modules use: VELK_CRC and velk_crc._core.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velk {

// Thrown when a C API call failed: the Python exception is already pending,
// so the exception object itself carries nothing.
struct PythonError {};

// Move-only owner of one strong reference. Borrowed references stay raw
// PyObject* and are never put into a Ref.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over (steals) a reference the caller owns.
    explicit Ref(PyObject* p) noexcept : object_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // A new strong reference to an object borrowed from elsewhere.
    static Ref share(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference over, to a return value or a stealing call.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Result of a C API call returning a new reference: NULL means failure.
inline Ref check(PyObject* p) {
    if (p == nullptr) throw PythonError{};
    return Ref(p);
}

// Result of a C API call returning a status: -1 means failure.
inline int check(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

}  // namespace velk
