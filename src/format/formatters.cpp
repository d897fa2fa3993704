// The outbound formatters: raw XT, XT with a JSON payload, and XML. Each result is one
// string allocation; nothing is escaped or encoded here, the caller sends the text as is.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "common/args.hpp"
#include "common/compat.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/text.hpp"
#include "common/state.hpp"

namespace vrel {

namespace {

Signature kXtSig{"cy_format_xt", 3, "server_header", "command", "data"};
Signature kJsonXtSig{"cy_format_json_xt", 3, "server_header", "command", "data"};
Signature kXmlSig{"cy_format_xml", 4, "t", "action", "r", "data"};

// "%xt%<header>%<command>%", the head shared by both XT forms.
bool add_xt_head(TextBuilder& text, PyObject* header, PyObject* command) noexcept {
    return text.add("%xt%") && text.add(header) && text.add("%") && text.add(command) && text.add("%");
}

// The texts of a message's data items, each held by a strong reference until the message
// is built: an item's __str__ may drop the items walked before it.
class ItemTexts {
public:
    ItemTexts() noexcept = default;
    ItemTexts(const ItemTexts&) = delete;
    ItemTexts& operator=(const ItemTexts&) = delete;
    ~ItemTexts() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != inline_) PyMem_Free(items_);
    }

    // Room for `wanted` texts in all; false with MemoryError.
    bool reserve(Py_ssize_t wanted) noexcept {
        if (wanted <= capacity_) return true;
        PyObject** fresh = nullptr;
        if (static_cast<size_t>(wanted) <= PY_SSIZE_T_MAX / sizeof(PyObject*)) {
            fresh = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(wanted) * sizeof(PyObject*)));
        }
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(fresh, items_, static_cast<size_t>(size_) * sizeof(PyObject*));
        if (items_ != inline_) PyMem_Free(items_);
        items_ = fresh;
        capacity_ = wanted;
        return true;
    }
    // Takes over `text`, a new reference, also when it fails (MemoryError).
    bool push(PyObject* text) noexcept {
        if (size_ == capacity_ && !reserve(capacity_ * 2)) {
            Py_DECREF(text);
            return false;
        }
        items_[size_++] = text;
        return true;
    }
    PyObject* const* data() const noexcept { return items_; }
    Py_ssize_t size() const noexcept { return size_; }

private:
    static constexpr Py_ssize_t kInline = 16;
    PyObject* inline_[kInline];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = kInline;
};

// The items' texts: exact str as is, anything else through str(). The length is read
// again before each item, because an item's __str__ may change the list.
bool collect_item_texts(PyObject* data, ItemTexts& texts) noexcept {
    if (!texts.reserve(PyList_GET_SIZE(data))) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
        PyObject* item_text = PyUnicode_CheckExact(item.get()) ? item.release() : PyObject_Str(item.get());
        if (item_text == nullptr || !texts.push(item_text)) return false;
    }
    return true;
}

// Whether "%".join(texts) is empty: no texts, or a single empty one.
bool joins_to_empty(const ItemTexts& texts) noexcept {
    return texts.size() == 0 || (texts.size() == 1 && PyUnicode_GET_LENGTH(texts.data()[0]) == 0);
}

PyObject* cy_format_xt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[3];
    if (parse_args(kXtSig, args, nargs, kwnames, a) < 0) return nullptr;
    if (!arg_type_ok(a[0], &PyUnicode_Type, "server_header") || !arg_type_ok(a[1], &PyUnicode_Type, "command") ||
        !arg_type_ok(a[2], &PyList_Type, "data")) {
        return nullptr;
    }
    PyObject* data = a[2];
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    ItemTexts texts;
    if (!collect_item_texts(data, texts)) return nullptr;
    TextBuilder text;
    if (!add_xt_head(text, a[0], a[1]) || !text.add_joined(texts.data(), texts.size(), '%') ||
        (!joins_to_empty(texts) && !text.add("%"))) {
        return nullptr;
    }
    return text.build();
}

// True when no byte of `chars` has its high bit set: 32, then eight bytes at a time, the
// last word read overlapping the one before rather than byte by byte.
bool is_ascii(const char* chars, Py_ssize_t length) noexcept {
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    uint64_t seen = 0;
    if (length < 8) {
        for (Py_ssize_t i = 0; i < length; ++i) seen |= static_cast<unsigned char>(chars[i]);
        return (seen & 0x80u) == 0;
    }
    Py_ssize_t i = 0;
    for (; i + 32 <= length; i += 32) {
        uint64_t words[4];
        std::memcpy(words, chars + i, sizeof words);
        seen |= words[0] | words[1] | words[2] | words[3];
    }
    uint64_t word;
    for (; i + 8 <= length; i += 8) {
        std::memcpy(&word, chars + i, sizeof word);
        seen |= word;
    }
    std::memcpy(&word, chars + length - 8, sizeof word);
    return ((seen | word) & kHighBits) == 0;
}

// Appends dumped.decode("utf-8"), which must be a str or None; `decoded` keeps a decoded
// text alive until the build. orjson's exact bytes are decoded here, as bytes.decode
// would, and ASCII needs no decoding at all: the builder copies it from `dumped`, which
// the caller keeps alive. Anything else answers through its own decode method.
bool add_decoded(TextBuilder& text, PyObject* dumped, Ref& decoded) noexcept {
    if (PyBytes_CheckExact(dumped)) {
        const char* chars = PyBytes_AS_STRING(dumped);
        Py_ssize_t length = PyBytes_GET_SIZE(dumped);
        if (VREL_LIKELY(is_ascii(chars, length))) return text.add_ascii(chars, length);
        decoded = Ref::steal(PyUnicode_DecodeUTF8(chars, length, nullptr));
    } else {
        PyObject* argv[2] = {dumped, S().utf_8};
        decoded = Ref::steal(PyObject_VectorcallMethod(S().decode, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (decoded && !value_type_ok(decoded.get(), &PyUnicode_Type)) return false;
    }
    return decoded && text.add(decoded.get());
}

GlobalAttr g_dumps{&Strings::orjson, &Strings::dumps};

PyObject* cy_format_json_xt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[3];
    if (parse_args(kJsonXtSig, args, nargs, kwnames, a) < 0) return nullptr;
    if (!arg_type_ok(a[0], &PyUnicode_Type, "server_header") || !arg_type_ok(a[1], &PyUnicode_Type, "command") ||
        !arg_type_ok(a[2], &PyDict_Type, "data")) {
        return nullptr;
    }
    Ref dumps = Ref::steal(global_attr(g_dumps));  // orjson.dumps, as at this call
    if (!dumps) return nullptr;
    PyObject* argv[2] = {nullptr, a[2]};
    Ref dumped = Ref::steal(PyObject_Vectorcall(dumps.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!dumped) return nullptr;
    // orjson's exact bytes are its UTF-8 text, which for ASCII is the text itself.
    NarrowText header, command;
    Py_UCS4 maxchar = 0x7F;
    if (PyBytes_CheckExact(dumped.get()) && narrow_text(a[0], &header, &maxchar) &&
        narrow_text(a[1], &command, &maxchar) &&
        is_ascii(PyBytes_AS_STRING(dumped.get()), PyBytes_GET_SIZE(dumped.get()))) {
        const NarrowText json{PyBytes_AS_STRING(dumped.get()), PyBytes_GET_SIZE(dumped.get())};
        return narrow_message(maxchar, "%xt%", header, "%", command, "%1%", json, "%");
    }
    Ref decoded;
    TextBuilder text;
    if (!add_xt_head(text, a[0], a[1]) || !text.add("1%") || !add_decoded(text, dumped.get(), decoded) ||
        !text.add("%")) {
        return nullptr;
    }
    return text.build();
}

PyObject* cy_format_xml(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* a[4];
    if (parse_args(kXmlSig, args, nargs, kwnames, a) < 0) return nullptr;
    if (!arg_type_ok(a[0], &PyUnicode_Type, "t") || !arg_type_ok(a[1], &PyUnicode_Type, "action") ||
        !arg_type_ok(a[2], &PyUnicode_Type, "r") || !arg_type_ok(a[3], &PyUnicode_Type, "data")) {
        return nullptr;
    }
    NarrowText t, action, r, data;
    Py_UCS4 maxchar = 0x7F;
    if (narrow_text(a[0], &t, &maxchar) && narrow_text(a[1], &action, &maxchar) && narrow_text(a[2], &r, &maxchar) &&
        narrow_text(a[3], &data, &maxchar)) {
        return narrow_message(maxchar, "<msg t='", t, "'><body action='", action, "' r='", r, "'>", data,
                              "</body></msg>");
    }
    TextBuilder text;
    bool ok = text.add("<msg t='") && text.add(a[0]) && text.add("'><body action='") && text.add(a[1]) &&
              text.add("' r='") && text.add(a[2]) && text.add("'>") && text.add(a[3]) && text.add("</body></msg>");
    return ok ? text.build() : nullptr;
}

// "Formatează ..." with the U+0103 spelled as UTF-8 bytes, so the source stays ASCII.
const FunctionDef kFormatXtDef{"cy_format_xt", &kXtSig, cy_format_xt,
                               "Formateaz\xC4\x83 un mesaj XT raw: %xt%header%command%arg1%arg2%...%"};
const FunctionDef kFormatJsonXtDef{"cy_format_json_xt", &kJsonXtSig, cy_format_json_xt};
const FunctionDef kFormatXmlDef{"cy_format_xml", &kXmlSig, cy_format_xml};

}  // namespace

int install_formatters(PyObject* module) noexcept {
    for (const FunctionDef* def : {&kFormatXtDef, &kFormatJsonXtDef, &kFormatXmlDef}) {
        Ref function = Ref::steal(new_function(*def));
        if (!function || PyModule_AddObjectRef(module, def->name, function.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace vrel
