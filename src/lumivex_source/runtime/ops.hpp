// The Python operations that function bodies are written in: attribute reads, calls, indexing, arithmetic,
// comparisons and tuple unpacking. Each returns an owning `Ref` (empty with the Python error set) or an int
// status (-1 with the error set), so a body statement reads "do it; if it failed, fail at this line".
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstring>
#include <initializer_list>

namespace lumivex::rt {

inline constexpr Py_ssize_t max_call_arguments = 8;

inline PyObject* raw(PyObject* obj) noexcept { return obj; }
inline PyObject* raw(const Ref& obj) noexcept { return obj.get(); }
inline PyObject* raw(const Constant& obj) noexcept { return obj.get(); }

inline Ref getattr(PyObject* obj, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name)); }
// `obj.<name>` for a name given as C text, looked up as an interned string. CPython's type attribute cache keeps
// the name object it was asked with in a slot chosen by that object's address, so a fresh temporary string per
// lookup (as PyObject_GetAttrString makes) stays alive there until its slot is taken again.
inline Ref getattr(PyObject* obj, const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? getattr(obj, key.get()) : Ref();
}

// callable(*args): positional arguments only.
template <class... Args>
Ref call(PyObject* callable, const Args&... args) noexcept {
    // Slot 0 is scratch space that the callee may use for a bound `self` (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[] = {nullptr, raw(args)...};
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A tuple of N keyword names made once at import. The count is part of the type, so a call that passes fewer
// values than it names keywords does not compile.
template <size_t N>
struct Keywords {
    PyObject* names;  // borrowed tuple of N interned names
};

template <size_t N>
class KeywordNames {
public:
    Keywords<N> get() const noexcept { return {names_.get()}; }
    Constant& slot() noexcept { return names_; }

private:
    Constant names_;
};

// callable(*positional, **keywords): the trailing N arguments are the values of `kwnames`, in its order.
template <size_t N, class... Args>
Ref call_kw(PyObject* callable, Keywords<N> kwnames, const Args&... args) noexcept {
    static_assert(sizeof...(Args) >= N, "fewer values than keyword names");
    PyObject* stack[] = {nullptr, raw(args)...};
    constexpr size_t positional = sizeof...(Args) - N;
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.names));
}

// self.name(*args)
template <class... Args>
Ref call_method(PyObject* self, PyObject* name, const Args&... args) noexcept {
    PyObject* stack[] = {self, raw(args)...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr));
}

// self.name(*positional, **keywords)
template <size_t N, class... Args>
Ref call_method_kw(PyObject* self, PyObject* name, Keywords<N> kwnames, const Args&... args) noexcept {
    static_assert(sizeof...(Args) >= N, "fewer values than keyword names");
    PyObject* stack[] = {self, raw(args)...};
    constexpr size_t positional = 1 + sizeof...(Args) - N;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, positional, kwnames.names));
}

// self.name(*args) with the arguments held in a ready-made tuple.
inline Ref call_method_tuple(PyObject* self, PyObject* name, PyObject* args) noexcept {
    PyObject* stack[max_call_arguments + 1] = {self};
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count > max_call_arguments) return Ref::steal(PyErr_Format(PyExc_SystemError, "argument tuple too long"));
    for (Py_ssize_t i = 0; i < count; ++i) stack[i + 1] = PyTuple_GET_ITEM(args, i);
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + static_cast<size_t>(count), nullptr));
}

// obj[key]
inline Ref item(PyObject* obj, PyObject* key) noexcept { return Ref::steal(PyObject_GetItem(obj, key)); }

// obj[i] with a small integer index. An exact tuple (a shape) is read directly, as its indexing runs no Python
// code; anything else, and an index out of range, goes through the generic lookup with a cached small int.
inline Ref item_at(PyObject* obj, Py_ssize_t index) noexcept {
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        const Py_ssize_t position = index < 0 ? index + size : index;
        if (position >= 0 && position < size) return Ref::borrow(PyTuple_GET_ITEM(obj, position));
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(obj, key.get()));
}

// obj[key] = value
inline int set_item(PyObject* obj, PyObject* key, PyObject* value) noexcept {
    return PyObject_SetItem(obj, key, value);
}

// A tuple built from the given objects (new references are taken).
template <class... Args>
Ref tuple(const Args&... items) noexcept {
    return Ref::steal(PyTuple_Pack(sizeof...(Args), raw(items)...));
}

// slice(start, stop, step); null stands for None.
inline Ref slice(PyObject* start, PyObject* stop, PyObject* step = nullptr) noexcept {
    return Ref::steal(PySlice_New(start, stop, step));
}

// Arithmetic with Python semantics (ints stay arbitrary precision, `%` and `//` floor).
inline Ref add(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref subtract(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref multiply(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref true_divide(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_TrueDivide(a, b)); }
inline Ref floor_divide(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_FloorDivide(a, b)); }
inline Ref remainder(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_Remainder(a, b)); }
inline Ref power(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_Power(a, b, Py_None)); }
inline Ref negative(PyObject* a) noexcept { return Ref::steal(PyNumber_Negative(a)); }
inline Ref to_float(PyObject* a) noexcept { return Ref::steal(PyNumber_Float(a)); }

// In-place operators (`a -= b` and friends): the result replaces the name that held `a`.
inline Ref inplace_add(PyObject* a, PyObject* b) noexcept { return Ref::steal(PyNumber_InPlaceAdd(a, b)); }
inline Ref inplace_subtract(PyObject* a, PyObject* b) noexcept {
    return Ref::steal(PyNumber_InPlaceSubtract(a, b));
}
inline Ref inplace_multiply(PyObject* a, PyObject* b) noexcept {
    return Ref::steal(PyNumber_InPlaceMultiply(a, b));
}

namespace detail {

// An exact int that fits a machine word: its value is read without a call, and comparing it runs no Python code.
inline bool is_compact_int(PyObject* obj) noexcept {
    return PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj));
}
inline Py_ssize_t compact_value(PyObject* obj) noexcept {
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
}

// `a OP b` for two compact ints: the comparison Python would make, without its objects.
inline bool compare_compact(PyObject* a, PyObject* b, int op) noexcept {
    const Py_ssize_t x = compact_value(a);
    const Py_ssize_t y = compact_value(b);
    switch (op) {
        case Py_LT: return x < y;
        case Py_LE: return x <= y;
        case Py_EQ: return x == y;
        case Py_NE: return x != y;
        case Py_GT: return x > y;
        default: return x >= y;
    }
}

// Equality of two exact strs: the same object, or equal text. Two distinct interned strings always differ.
inline bool str_equal(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace detail

// `bool(a OP b)` as an `if` statement evaluates it: 1, 0, or -1 with an error set. The comparison result is
// tested for truth, so objects whose comparisons return arrays or raise behave as they would in Python.
// Exact ints and (for == and !=) exact strs are compared directly: their comparisons run no Python code, so
// the result is the same and no object sees a call; subclasses and everything else take the generic path.
inline int compare(PyObject* a, PyObject* b, int op) noexcept {
    if (detail::is_compact_int(a) && detail::is_compact_int(b)) {
        return detail::compare_compact(a, b, op);
    }
    if ((op == Py_EQ || op == Py_NE) && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return detail::str_equal(a, b) == (op == Py_EQ);
    }
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}
inline int equals(PyObject* a, PyObject* b) noexcept { return compare(a, b, Py_EQ); }

// `value in (c0, c1, ...)` for a tuple of constants, as a chain of == tests stopping at the first match: 1, 0,
// or -1 with an error set. An exact int is read once and compared by value with the exact-int constants.
inline int equals_any(PyObject* value, std::initializer_list<const Constant*> candidates) noexcept {
    const bool compact = detail::is_compact_int(value);
    const Py_ssize_t number = compact ? detail::compact_value(value) : 0;
    for (const Constant* candidate : candidates) {
        PyObject* other = candidate->get();
        int equal;
        if (compact && detail::is_compact_int(other)) {
            equal = number == detail::compact_value(other);
        } else {
            equal = equals(value, other);
        }
        if (equal != 0) return equal;
    }
    return 0;
}

inline int truth(PyObject* obj) noexcept { return PyObject_IsTrue(obj); }

// `len(obj)`; -1 with an error set on failure.
inline Py_ssize_t length(PyObject* obj) noexcept { return PyObject_Length(obj); }

// `a, b, c = iterable`: fills exactly `count` targets or fails with the unpacking ValueError.
int unpack(PyObject* iterable, Ref* targets, Py_ssize_t count) noexcept;

// `raise ValueError(message)` with the given exception class object held by the module.
int raise_with(PyObject* exception_class, PyObject* message) noexcept;

// `error.add_note(note)`: 0, or -1 with the error of the call set.
int add_note(PyObject* error, PyObject* note) noexcept;

}  // namespace lumivex::rt
