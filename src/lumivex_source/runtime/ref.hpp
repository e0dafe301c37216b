// Owning references to Python objects.
// `Ref` owns one strong reference and gives it up on destruction, so an early return on an error path cannot
// leak; a bare `PyObject*` anywhere in this code base is a borrowed reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumivex::rt {

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (as C API calls return them); null stays null.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller: the one way out.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

// A reference held for the rest of the process: module-level objects made once at import. It has no
// destructor on purpose; releasing objects after the interpreter has finalised would touch freed memory.
class Constant {
public:
    constexpr Constant() noexcept = default;
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    void set(Ref value) noexcept {
        PyObject* old = ptr_;
        ptr_ = value.release();
        Py_XDECREF(old);
    }
    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace lumivex::rt
