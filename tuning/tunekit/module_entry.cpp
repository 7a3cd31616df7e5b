// Entry points of the extension library, one per module. The host's import
// machinery calls "PyInit_" + the last name component; each creates its module
// under the full dotted name, whichever name it was imported by.
#include "host.h"
#include "modules.h"

namespace tunekit {
namespace {

constexpr const char* kCommonName = "tuning.common";

}  // namespace

py::module_ common_module() {
  py::dict modules = py::module_::import("sys").attr("modules");
  if (modules.contains(kCommonName)) return modules[kCommonName].cast<py::module_>();
  PyObject* created = create_module(kCommonName, declare_common);
  if (created == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::module_>(created);
}

}  // namespace tunekit

#define TUNEKIT_ENTRY_POINT(short_name, full_name, doc, runs)                \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##short_name() {               \
    PYBIND11_CHECK_PYTHON_VERSION                                            \
    PYBIND11_ENSURE_INTERNALS_READY                                          \
    return tunekit::create_module(full_name, tunekit::declare_##short_name); \
  }

TUNEKIT_MODULES(TUNEKIT_ENTRY_POINT)
#undef TUNEKIT_ENTRY_POINT
