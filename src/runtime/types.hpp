// The shape shared by the module's static types and callables.
#pragma once

#include <Python.h>

namespace vrel {

// A zeroed static type object with the interpreter's own header (the immortal reference
// count on 3.12+); the types fill in their slots after it.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
inline PyTypeObject blank_type() noexcept {
    PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return t;
}
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The shape shared by the module's three types: static, subclassable, garbage-collected,
// with no instance dict and no weak references.
struct GcTypeSlots {
    const char* name;
    Py_ssize_t basicsize;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear;
    PyGetSetDef* getset;
    initproc init;
    newfunc new_;
};

inline PyTypeObject gc_type(const GcTypeSlots& slots) noexcept {
    PyTypeObject t = blank_type();
    t.tp_name = slots.name;
    t.tp_basicsize = slots.basicsize;
    t.tp_dealloc = slots.dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = slots.traverse;
    t.tp_clear = slots.clear;
    t.tp_getset = slots.getset;
    t.tp_init = slots.init;
    t.tp_new = slots.new_;
    return t;
}

}  // namespace vrel
