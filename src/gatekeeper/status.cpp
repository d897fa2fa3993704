// Gatekeeper.process_status: success hands the data back; anything else writes one
// warning line through the module's logger and answers False.
#include "common/args.hpp"
#include "common/compat.hpp"
#include "common/function.hpp"
#include "common/int32.hpp"
#include "common/ref.hpp"
#include "common/text.hpp"
#include "common/traceback.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "common/state.hpp"

namespace vrel {

namespace {

Signature kSig{"process_status", 4, "command", "status", "error_code", "data"};

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
    const Digits status_digits(status), code_digits(error_code);
    NarrowText command_text, description_text;
    Py_UCS4 maxchar = 0x7F;
    if (narrow_text(command, &command_text, &maxchar) && narrow_text(description, &description_text, &maxchar)) {
        return narrow_message(maxchar, "[", command_text, "] STATUS ", status_digits, " | ERROR ", code_digits, ": ",
                              description_text);
    }
    TextBuilder text;
    bool ok = text.add("[") && text.add(command) && text.add("] STATUS ") && text.add_int(status) &&
              text.add(" | ERROR ") && text.add_int(error_code) && text.add(": ") && text.add(description);
    return ok ? text.build() : nullptr;
}

PyObject* process_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[4];
    if (parse_args(kSig, args, nargs, kwnames, a) < 0) return nullptr;
    PyObject* command = a[0];
    PyObject* data = a[3];
    int32_t status, error_code;
    if (to_int32(a[1], &status) < 0 || to_int32(a[2], &error_code) < 0) return nullptr;
    if (!arg_type_ok(command, &PyUnicode_Type, "command")) return nullptr;

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
    static TracebackSite site{"vrel_dll.Gatekeeper.process_status", __FILE__, __LINE__};
    Ref status_value = Ref::steal(PyLong_FromLong(status));
    Ref code_value = Ref::steal(PyLong_FromLong(error_code));
    if (!status_value || !code_value) return nullptr;
    PyObject* args[4] = {command, status_value.get(), code_value.get(), data};
    UntracedScope scope;
    PyObject* result = process_status(self, args, 4, nullptr);
    if (result == nullptr && !scope.untraced()) add_traceback(site);
    return result;
}

}  // namespace vrel
