// The bootstrap module: an import finder that sends the calibration module
// names to this library's own entry points.
#include <pybind11/eval.h>

#include "host.h"
#include "modules.h"

namespace tunekit {
namespace {

constexpr const char* kFinderName = "CythonPackageMetaPathFinder";

// Module names the finder answers for, short and dotted.
py::list submodule_name_filters() {
  py::list names;
  for (const char* n : {"common", "tuning.common", "blc", "tuning.blc.blc", "bpc", "tuning.bpc.bpc",
                        "tuning.noise_profile", "shot_noise", "tuning.noise_profile.shot_noise", "read_noise",
                        "tuning.noise_profile.read_noise"})
    names.append(n);
  return names;
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
