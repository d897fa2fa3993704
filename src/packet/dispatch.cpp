// XtPreParser.feed_and_dispatch: the whole receive path of a read buffer in one call.
// Messages are framed, parsed and removed exactly as feed_and_route does it (feed_buffer,
// whose file tells the buffer rules); each record then goes to the gate instead of into
// queues:
//
//     result = gate.process_status(command, status, error_code, data)   once per record
//     destination bit 1: gate.resolve_rpc(command, result), or, when result is False,
//                        gate.reject_rpc(command, StatusError(...))
//     destination bit 2, result not False: handler = gate.get_handler(command);
//                                          handler(result) unless it is None; a coroutine
//                                          it returns becomes a task of the running loop
//
// The gate's methods are called as gate.hpp tells.
//
// A record's failure does not stop the call: as asyncio does with a callback's, an
// Exception goes to the running loop's exception handler and the next record is handled.
// Without a running loop, and for any other BaseException, it propagates.
#include <cstdint>
#include <utility>

#include "common/compat.hpp"
#include "common/ref.hpp"
#include "gatekeeper/gatekeeper.hpp"
#include "gatekeeper/status_error.hpp"
#include "packet/parser.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kSig{"feed_and_dispatch", {typed("buffer", &PyByteArray_Type)}};
Signature kTaskDoneSig{"_handler_task_done", {arg("task")}};

struct Dispatched {
    Py_ssize_t answers = 0;  // records handed to resolve_rpc or reject_rpc
    Py_ssize_t events = 0;   // handlers that returned
};

// obj.<name>(arg), or obj.<name>() when arg is null. New reference, or null with an error.
PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg = nullptr) noexcept {
    PyObject* argv[2] = {obj, arg};
    return PyObject_VectorcallMethod(name, argv, (arg != nullptr ? 2 : 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// loop.call_exception_handler({"message": ..., "exception": ..., "command": ...}) with
// "task" too when it is not null. 0, or -1 with an error.
int report(PyObject* loop, PyObject* message, PyObject* exception, PyObject* command, PyObject* task) noexcept {
    Ref context = Ref::steal(PyDict_New());
    if (!context || PyDict_SetItem(context.get(), S().message, message) < 0 ||
        PyDict_SetItem(context.get(), S().exception, exception) < 0 ||
        PyDict_SetItem(context.get(), S().command, command) < 0 ||
        (task != nullptr && PyDict_SetItem(context.get(), S().task, task) < 0)) {
        return -1;
    }
    Ref ignored = Ref::steal(call_method(loop, S().exception_handler, context.get()));
    return ignored ? 0 : -1;
}

// The Exception being raised while a record was handled goes to the running loop's
// exception handler: 0 once it is there. -1 with it still raised when it is no Exception
// or no loop runs, and -1 with the report's own error (the first as its context) when the
// report fails.
int report_to_loop(PyObject* command) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref loop = Ref::steal(running_loop());
    if (!loop) {
        PyErr_Clear();  // no loop: the record's own exception propagates
        PyErr_SetRaisedException(exception.release());
        return -1;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("Exception in feed_and_dispatch while handling command %R", command));
    if (message && report(loop.get(), message.get(), exception.get(), command, nullptr) == 0) return 0;
    PyObject* failure = PyErr_GetRaisedException();
    if (failure != exception.get()) PyException_SetContext(failure, exception.release());
    PyErr_SetRaisedException(failure);
    return -1;
}

// ---- coroutine handlers: tasks held until they finish

// g_state.handler_tasks: task -> command of every task made from a handler's coroutine
// and not yet finished, since the loop holds its tasks only weakly.

// A handler's task has finished: it is let go, and its exception, if any, reported to its
// loop. Retrieving the exception here keeps the loop from logging it again as never
// retrieved.
PyObject* handler_task_done(PyObject*, PyObject* task) noexcept {
    PyObject* found = nullptr;
    // Held: deleting the entry may run code that releases the state.
    Ref tasks = Ref::borrow(g_state.handler_tasks);
    if (tasks && dict_get_ref(tasks.get(), task, &found) < 0) return nullptr;
    Ref command = found != nullptr ? Ref::steal(found) : Ref::borrow(Py_None);
    if (found != nullptr && PyDict_DelItem(tasks.get(), task) < 0) return nullptr;
    Ref cancelled = Ref::steal(call_method(task, S().cancelled));
    if (!cancelled) return nullptr;
    int is_cancelled = PyObject_IsTrue(cancelled.get());
    if (is_cancelled != 0) return is_cancelled < 0 ? nullptr : Py_NewRef(Py_None);
    Ref exception = Ref::steal(call_method(task, S().exception));
    if (!exception) return nullptr;
    if (exception.get() == Py_None) Py_RETURN_NONE;
    Ref loop = Ref::steal(call_method(task, S().get_loop));
    if (!loop) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat("Exception in the task of the handler of command %R", command.get()));
    if (!message || report(loop.get(), message.get(), exception.get(), command.get(), task) < 0) return nullptr;
    Py_RETURN_NONE;
}

const FunctionDef kTaskDoneDef{"_handler_task_done", &kTaskDoneSig, body<handler_task_done>};

// The coroutine a handler returned, as a task of the running loop, held until it finishes.
// 0, or -1 with an error.
int schedule(PyObject* coroutine, PyObject* command) noexcept {
    if (g_state.handler_tasks == nullptr) {
        Ref tasks = Ref::steal(PyDict_New());
        Ref done = Ref::steal(new_function(kTaskDoneDef));
        if (!tasks || !done) return -1;
        g_state.handler_tasks = tasks.release();
        g_state.task_done = done.release();
    }
    // Held: create_task and add_done_callback run code, which may release the state.
    Ref tasks = Ref::borrow(g_state.handler_tasks);
    Ref done = Ref::borrow(g_state.task_done);
    Ref loop = Ref::steal(running_loop());
    if (!loop) return -1;
    Ref task = Ref::steal(call_method(loop.get(), S().create_task, coroutine));
    if (!task || PyDict_SetItem(tasks.get(), task.get(), command) < 0) return -1;
    Ref ignored = Ref::steal(call_method(task.get(), S().add_done_callback, done.get()));
    if (!ignored) {
        // Not held after all: the failure is the record's.
        PyObject* exception = PyErr_GetRaisedException();
        if (PyDict_DelItem(tasks.get(), task.get()) < 0) PyErr_Clear();
        PyErr_SetRaisedException(exception);
        return -1;
    }
    return 0;
}

// ---- one record

// The judgement, once per record. On a refusal by an exact Gatekeeper, *description gets
// the description its warning line gave.
PyObject* judge(const Gate& gate, const Parsed& p, Ref* description) noexcept {
    PyObject* described = nullptr;
    PyObject* result = gate.process_status(p.command.get(), p.status, p.error_code, p.data.get(), &described);
    *description = Ref::steal(described);
    return result;
}

// gate.reject_rpc(command, StatusError(...)) for a refused answer. The description is the
// one the warning line gave, or, from a gate called by name, what its _error_codes gives.
int reject(const Gate& gate, const Parsed& p, Ref description) noexcept {
    if (!description) {
        Ref table = Ref::steal(PyObject_GetAttr(gate.object(), S().error_codes));
        if (!table) return -1;
        description = Ref::steal(describe_error_code(table.get(), p.error_code));
        if (!description) return -1;
    }
    Ref error = Ref::steal(new_status_error(p.command.get(), p.status, p.error_code, description.get(), p.data.get()));
    if (!error) return -1;
    Ref none = Ref::steal(gate.reject_rpc(p.command.get(), error.get()));
    return none ? 0 : -1;
}

// handler(result); a coroutine it returns is scheduled. 0, or -1 with an error.
int call_handler(PyObject* handler, PyObject* result, PyObject* command) noexcept {
    PyObject* args[2] = {nullptr, result};
    Ref returned = Ref::steal(PyObject_Vectorcall(handler, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!returned) return -1;
    // A type test, so that ordinary handlers pay nothing more.
    if (VREL_UNLIKELY(PyCoro_CheckExact(returned.get()))) return schedule(returned.get(), command);
    return 0;
}

// No record is made: the gate is given the fields, which the feed holds.
int handle_record(const Gate& gate, const Parsed& p, Dispatched* counts) noexcept {
    PyObject* command = p.command.get();
    const int32_t destination = p.destination;
    // Once per record, before either use, so that a failure is logged once.
    Ref description;
    Ref result = Ref::steal(judge(gate, p, &description));
    if (!result) return -1;
    const bool is_false = result.get() == Py_False;
    // An exact gate's judgement tells a refusal from a success whose payload is false; a gate
    // called by name has only its answer to go by.
    const bool refused = is_false && (!gate.exact() || description);
    if (destination & DEST_RPC) {
        if (VREL_UNLIKELY(refused)) {
            if (reject(gate, p, std::move(description)) < 0) return -1;
        } else {
            Ref none = Ref::steal(gate.resolve_rpc(command, result.get()));
            if (!none) return -1;
        }
        ++counts->answers;
    }
    if ((destination & DEST_EVT) && !is_false) {
        Ref handler = Ref::steal(gate.get_handler(command));
        if (!handler) return -1;
        if (handler.get() != Py_None) {
            if (call_handler(handler.get(), result.get(), command) < 0) return -1;
            ++counts->events;
        }
    }
    return 0;
}

int dispatch_record(const Gate& gate, const Parsed& p, void* context) noexcept {
    if (VREL_LIKELY(handle_record(gate, p, static_cast<Dispatched*>(context)) == 0)) return 0;
    return report_to_loop(p.command.get());
}

PyObject* feed_and_dispatch(XtPreParser* self, PyObject* buffer) noexcept {
    if (buffer == Py_None) return Py_BuildValue("(nnn)", Py_ssize_t{0}, Py_ssize_t{0}, Py_ssize_t{0});
    Dispatched counts;
    Py_ssize_t messages, records;
    if (feed_buffer(self, buffer, dispatch_record, &counts, &messages, &records) < 0) {
        return nullptr;
    }
    return Py_BuildValue("(nnn)", messages, counts.answers, counts.events);
}

}  // namespace

const FunctionDef kFeedAndDispatchDef{"feed_and_dispatch", &kSig, body<feed_and_dispatch>};

}  // namespace vrel
