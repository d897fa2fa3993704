// The outbound formatters: cy_format_xt, cy_format_json_xt, cy_format_xml.
#pragma once

#include <Python.h>

namespace vrel {

// Adds the three formatters to the module's namespace; 0, or -1 with an error.
int install_formatters(PyObject* module) noexcept;

}  // namespace vrel
