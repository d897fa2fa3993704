// Gatekeeper.process_status: success hands the data back; anything else writes one
// warning line through the module's logger and answers False.
#include "common/compat.hpp"
#include "common/ref.hpp"
#include "common/text.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "runtime/traceback.hpp"

namespace vrel {

namespace {

constexpr const char* kFile = "src/gatekeeper/status.cpp";

Signature kSig{"process_status",
               {typed("command", &PyUnicode_Type), int32_arg("status"), int32_arg("error_code"), arg("data")}};

constexpr int32_t kSuccessStatus = 1;
constexpr int32_t kBenignErrorCode = 453;  // reported with a success status, means nothing went wrong

// _error_codes.get(error_code, "Unknown error code"), checked to be a str or None.
// New reference, or null with an error.
PyObject* describe(Gatekeeper* self, int32_t error_code) noexcept {
    // A key's __eq__ may replace _error_codes during the search: hold the dict.
    Ref table = Ref::borrow(self->error_codes);
    if (table.get() == Py_None) {
        raise_none_has_no("get");
        return nullptr;
    }
    Ref code = Ref::steal(PyLong_FromLong(error_code));
    if (!code) return nullptr;
    PyObject* found = nullptr;
    int present = dict_get_ref(table.get(), code.get(), &found);
    if (present < 0) return nullptr;
    Ref description = present ? Ref::steal(found) : Ref::borrow(S().unknown_error);
    if (!value_type_ok(description.get(), &PyUnicode_Type)) return nullptr;
    return description.release();
}

// "[<command>] STATUS <status> | ERROR <code>: <description>" in one allocation.
PyObject* warning_text(PyObject* command, int32_t status, int32_t error_code, PyObject* description) noexcept {
    return build_text("[", command, "] STATUS ", Decimal(status), " | ERROR ", Decimal(error_code), ": ", description);
}

PyObject* process_status(PyObject* self, const Args& a) noexcept {
    PyObject* command = a[0];
    PyObject* data = a[3];
    const int32_t status = a.i32[1], error_code = a.i32[2];

    if (VREL_LIKELY(status == kSuccessStatus && (error_code == 0 || error_code == kBenignErrorCode))) {
        if (data != Py_None) return Py_NewRef(data);
        return PyDict_New();
    }

    Ref description = Ref::steal(describe(as_gatekeeper(self), error_code));
    if (!description) return nullptr;
    Ref logger = Ref::steal(module_global(S().logger));  // as at this call
    if (!logger) return nullptr;
    Ref text = Ref::steal(warning_text(command, status, error_code, description.get()));
    if (!text) return nullptr;
    // logger.warning(text) as the interpreter calls a method: the attribute is looked up
    // now, by the object's own rules, but a plain function found on its class is called
    // with the logger first instead of being bound into a new method object.
    PyObject* argv[2] = {logger.get(), text.get()};
    Ref ignored = Ref::steal(PyObject_VectorcallMethod(S().warning, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!ignored) return nullptr;
    return Py_NewRef(Py_False);
}

}  // namespace

const FunctionDef kProcessStatusDef{"process_status", &kSig, process_status};

PyObject* process_status_as_call(PyObject* self, PyObject* command, int32_t status, int32_t error_code,
                                 PyObject* data) noexcept {
    static TracebackSite site{"vrel_dll.Gatekeeper.process_status", kFile, __LINE__};
    const Args a{{command, nullptr, nullptr, data}, {0, status, error_code}};
    PyObject* result = process_status(self, a);
    if (result == nullptr) add_traceback(site);
    return result;
}

}  // namespace vrel
