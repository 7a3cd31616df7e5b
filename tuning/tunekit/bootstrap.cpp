// The bootstrap module: an import finder that sends the calibration module
// names to this library's own entry points.
#include <pybind11/eval.h>

#include <string>

#include "host.h"
#include "modules.h"

namespace tunekit {
namespace {

constexpr const char* kFinderName = "CythonPackageMetaPathFinder";

bool is_bootstrap(const ModuleInfo& module) { return std::string(module.short_name) == "tunekit"; }

// Module names the finder answers for: each module of the library but this one
// by its short and its full name; a package that carries several of them is
// answered for by its own name too.
py::list submodule_name_filters() {
  py::list names;
  auto package_of = [](const std::string& full_name) { return full_name.substr(0, full_name.rfind('.')); };
  for (const ModuleInfo& module : kModules) {
    if (is_bootstrap(module)) continue;
    const std::string package = package_of(module.full_name);
    std::size_t carried = 0;
    for (const ModuleInfo& other : kModules)
      carried += !is_bootstrap(other) && package_of(other.full_name) == package ? 1 : 0;
    if (carried > 1 && !names.contains(py::str(package))) names.append(py::str(package));
    names.append(module.short_name);
    names.append(module.full_name);
  }
  return names;
}

// The module list as host tuples (short name, full name, doc, what its main
// calibrates or None), for the package's runners.
py::tuple module_list() {
  py::list out;
  for (const ModuleInfo& module : kModules) {
    py::object runs = module.runs == nullptr ? py::object(py::none()) : py::object(py::str(module.runs));
    out.append(py::make_tuple(module.short_name, module.full_name, module.doc, runs));
  }
  return py::tuple(out);
}

// The finder is a class of the host's own (it derives from MetaPathFinder);
// the module lookup it delegates to is C++.
py::object make_finder_class(py::module_& m) {
  py::module_ module = m;
  py::dict scope;
  scope["__name__"] = m.attr("__name__");
  scope["MetaPathFinder"] = py::module_::import("importlib.abc").attr("MetaPathFinder");
  scope["_library_spec"] = py::cpp_function([module](py::object self, py::object fullname) -> py::object {
    if (!self.attr("name_filters").contains(fullname)) return py::none();
    py::object loader =
        py::module_::import("importlib.machinery").attr("ExtensionFileLoader")(fullname, module.attr("__file__"));
    return py::module_::import("importlib.util").attr("spec_from_loader")(fullname, loader);
  });
  py::exec(R"(
class CythonPackageMetaPathFinder(MetaPathFinder):
    """Finds the calibration modules carried by this library."""

    def __init__(self, name_filters):
        super().__init__()
        self.name_filters = name_filters  # the caller's list itself, not a copy

    def find_spec(self, fullname, path, target):
        return _library_spec(self, fullname)
)",
           scope);
  return scope[kFinderName];
}

}  // namespace

void declare_tunekit(py::module_& m) {
  m.doc() = "Bootstrap of the tuning package: makes its calibration modules importable.";
  py::object finder_class = make_finder_class(m);
  m.attr(kFinderName) = finder_class;
  m.attr("MODULES") = module_list();

  py::module_ module = m;
  m.def(
      "bootstrap_cython_submodules",
      [module, finder_class]() {
        py::list meta_path = py::module_::import("sys").attr("meta_path");
        for (py::handle entry : meta_path) {
          // Any finder of that class name counts, whichever library installed it.
          if (py::str(py::type::of(entry).attr("__name__")).cast<std::string>() == kFinderName) return;
        }
        meta_path.append(finder_class(submodule_name_filters()));
        py::print(py::str("in tuning bootstrap ") + py::str(module.attr("__file__")));
      },
      "Installs the import finder for the calibration modules (once) and prints the library path.");
}

}  // namespace tunekit
