// Helpers that fill the process-lifetime constants of a module at import; each returns -1 on failure.
#pragma once

#include "ops.hpp"

namespace lumivex::rt {

inline int set_constant(Constant& slot, Ref value) noexcept {
    if (!value) return -1;
    slot.set(std::move(value));
    return 0;
}

inline int make_int(Constant& slot, long value) noexcept {
    return set_constant(slot, Ref::steal(PyLong_FromLong(value)));
}

inline int make_float(Constant& slot, double value) noexcept {
    return set_constant(slot, Ref::steal(PyFloat_FromDouble(value)));
}

inline int make_str(Constant& slot, const char* text) noexcept {
    return set_constant(slot, Ref::steal(PyUnicode_FromString(text)));
}

template <class... Items>
int make_tuple(Constant& slot, const Items&... items) noexcept {
    return set_constant(slot, tuple(items...));
}

// A keyword-name tuple: exactly as many names as its type counts.
template <size_t N, class... Names>
int make_tuple(KeywordNames<N>& slot, const Names&... names) noexcept {
    static_assert(sizeof...(Names) == N, "the keyword-name tuple must hold exactly N names");
    return set_constant(slot.slot(), tuple(names...));
}

}  // namespace lumivex::rt
