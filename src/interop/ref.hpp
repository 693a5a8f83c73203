// An owning reference to an interpreter object. The destructor drops the reference, release() hands
// ownership to the caller, get() lends it. Functions build results in Refs and return release() at the
// end, so every early error return frees what it holds.
#pragma once

#include <type_traits>
#include <utility>

#include "interop/python.hpp"

namespace lq {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (as the C API returns them); null stays null.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // Drops the reference now. The field is null before the object goes, so code that the object's
    // deallocation runs (a __del__, a weakref callback) never sees a dangling pointer here.
    void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(PyObject* other) const noexcept { return ptr_ == other; }
    bool is_none() const noexcept { return ptr_ == Py_None; }

private:
    explicit Ref(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

// A Ref is laid out as the bare pointer, so a Ref field can be the slot that the interpreter's member
// descriptors and generic __dict__ support read and write as PyObject*.
static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref>);

// A borrowed argument: accepts a raw pointer or a Ref without taking ownership. Temporaries bound to it
// in a call expression live until the end of that expression.
struct Arg {
    Arg(PyObject* object) noexcept : ptr(object) {}
    Arg(const Ref& ref) noexcept : ptr(ref.get()) {}
    PyObject* ptr;
};

}  // namespace lq
