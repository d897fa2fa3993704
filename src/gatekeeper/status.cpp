// Gatekeeper.process_status: success hands the data back; anything else writes one
// warning line through the module's logger and answers False.
#include "common/compat.hpp"
#include "common/ref.hpp"
#include "common/text.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "gatekeeper/status_error.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kSig{"process_status",
               {typed("command", &PyUnicode_Type), int32_arg("status"), int32_arg("error_code"), arg("data")}};

constexpr int32_t kSuccessStatus = 1;
constexpr int32_t kBenignErrorCode = 453;  // reported with a success status, means nothing went wrong

}  // namespace

// On a failure that is logged, *description (when asked for) receives the description the
// line gave, a new reference.
PyObject* process_status(Gatekeeper* self, PyObject* command, int32_t status, int32_t error_code, PyObject* data,
                         PyObject** description_out) noexcept {
    if (VREL_LIKELY(status == kSuccessStatus && (error_code == 0 || error_code == kBenignErrorCode))) {
        if (data != Py_None) return Py_NewRef(data);
        return PyDict_New();
    }

    // A key's __eq__ may replace _error_codes during the search: hold the dict.
    Ref table = Ref::borrow(self->error_codes);
    Ref description = Ref::steal(describe_error_code(table.get(), error_code));
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
    if (description_out != nullptr) *description_out = description.release();
    return Py_NewRef(Py_False);
}

const FunctionDef kProcessStatusDef{"process_status", &kSig, body<process_status>};

PyObject* describe_error_code(PyObject* table, int32_t error_code) noexcept {
    if (table == Py_None) {
        raise_none_has_no("get");
        return nullptr;
    }
    if (!value_type_ok(table, &PyDict_Type)) return nullptr;
    Ref code = Ref::steal(PyLong_FromLong(error_code));
    if (!code) return nullptr;
    PyObject* found = nullptr;
    int present = dict_get_ref(table, code.get(), &found);
    if (present < 0) return nullptr;
    Ref description = present ? Ref::steal(found) : Ref::borrow(S().unknown_error);
    if (!value_type_ok(description.get(), &PyUnicode_Type)) return nullptr;
    return description.release();
}

PyObject* warning_text(PyObject* command, int32_t status, int32_t error_code, PyObject* description) noexcept {
    return build_text("[", command, "] STATUS ", Decimal(status), " | ERROR ", Decimal(error_code), ": ", description);
}

}  // namespace vrel
