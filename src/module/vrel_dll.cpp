// Module definition: multi-phase initialisation with a create slot and an exec slot.
#include <Python.h>

#include <cstdio>

#include "common/compat.hpp"
#include "common/ref.hpp"
#include "format/formatters.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "gatekeeper/status_error.hpp"
#include "packet/parser.hpp"
#include "record/xtpre.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/module/vrel_dll.cpp";
TracebackSite kInitSite{"init vrel_dll", kFile, __LINE__};

// Copies spec.<from> to module.<to>; a missing attribute is skipped, None is copied only
// when allowed.
int copy_spec_attr(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (g_state.main_interpreter == -1) {
        g_state.main_interpreter = current;
    } else if (current != g_state.main_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_state.module != nullptr) return Py_NewRef(g_state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// Warns when the running interpreter's major.minor differs from the build's.
int check_version() noexcept {
    const int rt_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int rt_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, "vrel_dll", "does not match", rt_major, rt_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int bind(PyObject* module, const char* name, PyObject* value) noexcept {
    return PyModule_AddObjectRef(module, name, value);
}

int ready_and_bind(PyObject* module, PyTypeObject* type, const char* name) noexcept {
    if (PyType_Ready(type) < 0) return -1;
    return bind(module, name, reinterpret_cast<PyObject*>(type));
}

// sys.modules[name] as a new reference, or null (no error) when absent. A None entry
// (an import deliberately blocked) counts as absent, so that the import system raises.
PyObject* loaded_module(PyObject* name) noexcept {
    PyObject* module = PyImport_GetModule(name);
    if (module == Py_None) Py_CLEAR(module);
    return module;
}

// `import <name>`: a module already in sys.modules is taken from there.
PyObject* import_module(PyObject* name) noexcept {
    PyObject* module = loaded_module(name);
    if (module != nullptr || PyErr_Occurred()) return module;
    return PyImport_ImportModuleLevelObject(name, g_state.dict, nullptr, nullptr, 0);
}

// `from <module_name> import <attr>`.
PyObject* import_from(PyObject* module_name, PyObject* attr) noexcept {
    Ref module = Ref::steal(loaded_module(module_name));
    if (!module && PyErr_Occurred()) return nullptr;
    if (module) {
        PyObject* probe = nullptr;
        int has = get_optional_attr(module.get(), attr, &probe);
        Py_XDECREF(probe);
        if (has < 0) return nullptr;
        if (has == 0) module.reset();
    }
    if (!module) {
        Ref fromlist = Ref::steal(PyTuple_Pack(1, attr));
        if (!fromlist) return nullptr;
        module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, g_state.dict, nullptr, fromlist.get(), 0));
        if (!module) return nullptr;
    }
    PyObject* value = nullptr;
    if (get_optional_attr(module.get(), attr, &value) != 0) return value;
    // A submodule not yet bound as an attribute of its package.
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, attr));
    if (!full_name) return nullptr;
    value = PyImport_GetModule(full_name.get());
    if (value != nullptr || PyErr_Occurred()) return value;
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
    return nullptr;
}

int import_and_bind(PyObject* module, PyObject* value, PyObject* name) noexcept {
    if (value == nullptr) return -1;
    int rc = PyObject_SetAttr(module, name, value);
    Py_DECREF(value);
    return rc;
}

// Everything execution does after the re-import check; the caller forgets the module
// when this fails. The order is what importers can observe: the types are bound before
// any collaborator is imported (so a failed import leaves them on the abandoned module),
// and the formatters only once all four imports have succeeded.
int exec_steps(PyObject* module) noexcept {
    // The module, its namespace and the builtins, which global look-ups read.
    g_state.module = module;  // borrowed: the module owns the state
    g_state.dict = Py_NewRef(PyModule_GetDict(module));
    g_state.builtins = PyImport_ImportModule("builtins");
    if (g_state.builtins == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0) return -1;
    // A build for another minor version warns before anything else is made.
    if (check_version() < 0) return -1;
    // Constants, interned and hashed once.
    if (create_strings() < 0 || prepare_signatures() < 0 || ready_function_types() < 0) return -1;
    const Strings& s = S();

    // From here on every failure carries the "init vrel_dll" entry. A module imported under
    // a qualified name is also reachable under its bare name, when that key is free.
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, s.module_name);
    if (present < 0) return fail(kInitSite);
    if (present == 0 && PyDict_SetItem(modules, s.module_name, module) < 0) return fail(kInitSite);
    // The types (the exception last), then the four run-time collaborators, each bound as it comes.
    if (ready_and_bind(module, &XtPreType, "XtPre") < 0 ||
        ready_and_bind(module, &XtPreParserType, "XtPreParser") < 0 ||
        ready_and_bind(module, &GatekeeperType, "Gatekeeper") < 0 || ready_status_error_type() < 0 ||
        bind(module, "StatusError", reinterpret_cast<PyObject*>(&StatusErrorType)) < 0) {
        return fail(kInitSite);
    }
    if (import_and_bind(module, import_module(s.orjson), s.orjson) < 0 ||
        import_and_bind(module, import_module(s.asyncio), s.asyncio) < 0 ||
        import_and_bind(module, import_from(s.collections, s.deque), s.deque) < 0 ||
        import_and_bind(module, import_from(s.loguru, s.logger), s.logger) < 0) {
        return fail(kInitSite);
    }
    // Methods (in their fixed order), the functions, and __test__ last.
    if (install_parser_methods() < 0 || install_gatekeeper_methods() < 0 || install_xtpre_methods() < 0 ||
        install_status_error_methods() < 0 || install_formatters(module) < 0) {
        return fail(kInitSite);
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyObject_SetAttr(module, s.dunder_test, test.get()) < 0) return fail(kInitSite);
    return 0;
}

int module_exec(PyObject* module) noexcept {
    if (g_state.module != nullptr) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vrel_dll' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (exec_steps(module) == 0) return 0;
    // Forget the module so that a later import starts afresh; what was already readied
    // or bound stays as it is.
    g_state.module = nullptr;
    Py_CLEAR(g_state.dict);
    Py_CLEAR(g_state.builtins);
    return -1;
}

// The state's references, reported as the module's own: its namespace holds functions
// that hold the module, and what the state keeps may lead back to it, so only the
// collector can free it.
int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    if (module != g_state.module) return 0;
    return traverse_state(visit, arg);
}

// The module is being freed, or its cycles broken (at interpreter finalisation, or when
// every reference to it is gone): the state goes with it. An abandoned module (its
// execution failed) owns none.
int module_clear(PyObject* module) noexcept {
    if (module == g_state.module) release_state();
    return 0;
}

void module_free(void* module) noexcept { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vrel_dll",  // m_name
    nullptr,     // m_doc
    0,           // m_size: all state is process-wide
    nullptr,     // m_methods: the functions are bound during execution
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace vrel

PyMODINIT_FUNC PyInit_vrel_dll(void) { return PyModuleDef_Init(&vrel::module_def); }
