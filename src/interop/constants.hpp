// Interned names and cached number and tuple constants. Each use site names its constant in the code
// (name<"cvtColor">(), small_int<255>()); all of them are created together while the module executes,
// held by the process state, and live for the rest of the process.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "interop/state.hpp"

namespace lq {

// A string literal usable as a template argument, so that each interned name is its own cached object.
template <std::size_t N>
struct FixedString {
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
    char chars[N];
};

// One cached object: an entry of the process state's constants, null until create_constants() has run.
// Factories run in no particular order, so a factory must not use other cached constants.
class ConstantSlot {
public:
    using Factory = PyObject* (*)();
    explicit ConstantSlot(Factory factory);
    PyObject* get() const noexcept { return process_state().constants[index_].object.get(); }

private:
    std::size_t index_;
};

// Creates every registered constant; -1 with an exception set on failure.
int create_constants();

// A new tuple of ints; null with an exception set on failure.
PyObject* make_int_tuple(const long* values, Py_ssize_t count);

template <FixedString S>
struct InternedName {
    static PyObject* make() { return PyUnicode_InternFromString(S.chars); }
    static inline ConstantSlot slot{&make};
};

template <long V>
struct CachedInt {
    static PyObject* make() { return PyLong_FromLong(V); }
    static inline ConstantSlot slot{&make};
};

template <double V>
struct CachedFloat {
    static PyObject* make() { return PyFloat_FromDouble(V); }
    static inline ConstantSlot slot{&make};
};

template <long... Vs>
struct CachedIntTuple {
    static PyObject* make() {
        static constexpr long values[] = {Vs...};
        return make_int_tuple(values, sizeof...(Vs));
    }
    static inline ConstantSlot slot{&make};
};

// Borrowed references, valid once the module has executed.
template <FixedString S>
PyObject* name() noexcept {
    return InternedName<S>::slot.get();
}
template <long V>
PyObject* small_int() noexcept {
    return CachedInt<V>::slot.get();
}
template <double V>
PyObject* cached_float() noexcept {
    return CachedFloat<V>::slot.get();
}
template <long... Vs>
PyObject* int_tuple() noexcept {
    return CachedIntTuple<Vs...>::slot.get();
}

}  // namespace lq
