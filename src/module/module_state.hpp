// What module execution needs from the rest of the module: the shared state, the three
// types, and the installers of the methods and functions it publishes.
#pragma once

#include <Python.h>

#include "common/state.hpp"

namespace vrel {

// Each returns 0, or -1 with an error.
int install_xtpre_methods() noexcept;       // pickling support of XtPre
int install_parser_methods() noexcept;      // parse_and_route, feed_and_route
int install_gatekeeper_methods() noexcept;  // the eight operations, in their fixed order
int install_formatters(PyObject* module) noexcept;

}  // namespace vrel
