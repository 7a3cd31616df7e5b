// Each module of the extension library fills its module object in its
// declarer; the entry points that create the modules live in module_entry.cpp.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "module_list.h"

namespace tunekit {

#define TUNEKIT_DECLARER(short_name, full_name, doc, runs) void declare_##short_name(pybind11::module_& m);
TUNEKIT_MODULES(TUNEKIT_DECLARER)
#undef TUNEKIT_DECLARER

// Parts of a module, called by its declarer.
void declare_capture(pybind11::module_& m);       // capture formats, reader, writer, naming rule (of common)
void declare_dark_shading(pybind11::module_& m);  // dark shading tables and preview (of blc)

// One line of the module list.
struct ModuleInfo {
  const char* short_name;
  const char* full_name;
  const char* doc;
  const char* runs;  // what its `main` calibrates, or nullptr
};

#define TUNEKIT_MODULE_INFO(short_name, full_name, doc, runs) ModuleInfo{#short_name, full_name, doc, runs},
inline constexpr ModuleInfo kModules[] = {TUNEKIT_MODULES(TUNEKIT_MODULE_INFO)};
#undef TUNEKIT_MODULE_INFO

}  // namespace tunekit
