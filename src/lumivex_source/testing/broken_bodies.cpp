// lumivex.testing._broken_bodies: two functions whose bodies break the contract with the function boundary, one
// failing without an exception set and one returning a result with an exception set. Tests use them to show
// that the boundary turns either into a SystemError instead of crashing; the package itself never imports it.
#include "../runtime/function.hpp"
#include "../runtime/module_frame.hpp"

namespace lumivex::testing {

namespace {

using rt::Frame;
using rt::Ref;

Ref fail_without_exception(Frame& f, PyObject* const*) noexcept { return f.fail(3); }

Ref return_with_exception(Frame&, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_ValueError, "left set by the body");
    return Ref::borrow(Py_None);
}

constexpr rt::FunctionDef fail_without_exception_def{"fail_without_exception", 1, {}, "None", {}, nullptr,
                                                     fail_without_exception};
constexpr rt::FunctionDef return_with_exception_def{"return_with_exception", 5, {}, "None", {}, nullptr,
                                                    return_with_exception};

int populate(rt::ModuleExec& exec) noexcept {
    return exec.add_functions({{&fail_without_exception_def, nullptr}, {&return_with_exception_def, nullptr}});
}

}  // namespace

rt::ModuleFrame frame{.short_name = "_broken_bodies",
                      .full_name = "lumivex.testing._broken_bodies",
                      .source_path = "src/lumivex_source/testing/broken_bodies",
                      .populate = populate};

}  // namespace lumivex::testing

extern "C" PyMODINIT_FUNC PyInit__broken_bodies(void) {
    return lumivex::rt::ModuleDefinition<lumivex::testing::frame>::init();
}
