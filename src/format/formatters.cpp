// The outbound formatters: raw XT, XT with a JSON payload, and XML. Each result is one
// string allocation; nothing is escaped or encoded here, the caller sends the text as is.
#include <cstdint>
#include <cstring>

#include "common/compat.hpp"
#include "common/ref.hpp"
#include "common/text.hpp"
#include "format/formatters.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"

namespace vrel {

namespace {

Signature kXtSig{
    "cy_format_xt",
    {typed("server_header", &PyUnicode_Type), typed("command", &PyUnicode_Type), typed("data", &PyList_Type)}};
Signature kJsonXtSig{
    "cy_format_json_xt",
    {typed("server_header", &PyUnicode_Type), typed("command", &PyUnicode_Type), typed("data", &PyDict_Type)}};
Signature kXmlSig{"cy_format_xml",
                  {typed("t", &PyUnicode_Type), typed("action", &PyUnicode_Type), typed("r", &PyUnicode_Type),
                   typed("data", &PyUnicode_Type)}};

// The texts of a message's data items, each held by a strong reference until the message
// is built: an item's __str__ may drop the items walked before it.
using ItemTexts = OwnedRefs<16>;

// The items' texts: exact str as is, and a small exact int as itself (written in decimal
// when the message is built: no code of its own runs for either); anything else through
// str(). The length is read again before each item, because an item's __str__ may change
// the list.
bool collect_item_texts(PyObject* data, ItemTexts& texts) noexcept {
    if (!texts.reserve(PyList_GET_SIZE(data))) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
        const bool as_is =
            PyUnicode_CheckExact(item.get()) ||
            (PyLong_CheckExact(item.get()) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item.get())));
        PyObject* item_text = as_is ? item.release() : PyObject_Str(item.get());
        if (item_text == nullptr || !texts.push(item_text)) return false;
    }
    return true;
}

// Whether "%".join(texts) is empty: no texts, or a single empty str (an int's text never is).
bool joins_to_empty(const ItemTexts& texts) noexcept {
    if (texts.size() != 1) return texts.size() == 0;
    return !PyLong_CheckExact(texts[0]) && PyUnicode_GET_LENGTH(texts[0]) == 0;
}

PyObject* cy_format_xt(PyObject*, PyObject* server_header, PyObject* command, PyObject* data) noexcept {
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    ItemTexts texts;
    if (!collect_item_texts(data, texts)) return nullptr;
    // The closing "%" only after data that joins to at least one character.
    return build_text("%xt%", server_header, "%", command, "%", JoinedTexts{texts.get(), texts.size(), '%'},
                      AsciiText{"%", joins_to_empty(texts) ? 0 : 1});
}

// True when every byte of `chars` is below 0x80: the bytes are or-ed eight at a time.
bool is_ascii(const char* chars, Py_ssize_t length) noexcept {
    uint64_t seen = 0;
    Py_ssize_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        std::memcpy(&word, chars + i, 8);
        seen |= word;
    }
    for (; i < length; ++i) seen |= static_cast<unsigned char>(chars[i]);
    return (seen & 0x8080808080808080u) == 0;
}

// "%xt%<header>%<command>%1%<json>%", the JSON text being a str, None or ASCII characters.
template <typename Json>
PyObject* json_xt_message(PyObject* server_header, PyObject* command, const Json& json) noexcept {
    return build_text("%xt%", server_header, "%", command, "%1%", json, "%");
}

PyObject* cy_format_json_xt(PyObject*, PyObject* server_header, PyObject* command, PyObject* data) noexcept {
    Ref dumps = Ref::steal(global_attr(&g_state.dumps, S().orjson, S().dumps));  // orjson.dumps, as at this call
    if (!dumps) return nullptr;
    PyObject* argv[2] = {nullptr, data};
    Ref dumped = Ref::steal(PyObject_Vectorcall(dumps.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!dumped) return nullptr;
    // dumped.decode("utf-8"), which must be a str or None. orjson's exact bytes are decoded
    // here, as bytes.decode would, and ASCII, the usual JSON text, needs no decoding at all:
    // it is written straight from the bytes. Anything else answers through its own method.
    Ref decoded;
    if (PyBytes_CheckExact(dumped.get())) {
        const char* json = PyBytes_AS_STRING(dumped.get());
        const Py_ssize_t length = PyBytes_GET_SIZE(dumped.get());
        if (VREL_LIKELY(is_ascii(json, length)))
            return json_xt_message(server_header, command, AsciiText{json, length});
        decoded = Ref::steal(PyUnicode_DecodeUTF8(json, length, nullptr));
    } else {
        PyObject* margv[2] = {dumped.get(), S().utf_8};
        decoded = Ref::steal(PyObject_VectorcallMethod(S().decode, margv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (decoded && !value_type_ok(decoded.get(), &PyUnicode_Type)) return nullptr;
    }
    return decoded ? json_xt_message(server_header, command, decoded.get()) : nullptr;
}

PyObject* cy_format_xml(PyObject*, PyObject* t, PyObject* action, PyObject* r, PyObject* data) noexcept {
    return build_text("<msg t='", t, "'><body action='", action, "' r='", r, "'>", data, "</body></msg>");
}

// "Formatează ..." with the U+0103 spelled as UTF-8 bytes, so the source stays ASCII.
// constexpr: each becomes a builtin function whose C entry calls the body directly.
constexpr FunctionDef kFormatXtDef{"cy_format_xt", &kXtSig, body<cy_format_xt>,
                                   "Formateaz\xC4\x83 un mesaj XT raw: %xt%header%command%arg1%arg2%...%"};
constexpr FunctionDef kFormatJsonXtDef{"cy_format_json_xt", &kJsonXtSig, body<cy_format_json_xt>};
constexpr FunctionDef kFormatXmlDef{"cy_format_xml", &kXmlSig, body<cy_format_xml>};

}  // namespace

int install_formatters(PyObject* module) noexcept {
    if (add_function<kFormatXtDef>(module) < 0 || add_function<kFormatJsonXtDef>(module) < 0) return -1;
    return add_function<kFormatXmlDef>(module);
}

}  // namespace vrel
