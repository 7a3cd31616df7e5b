// tuning.common: the enumerations, the base records and the raw capture helpers.
#include <pybind11/numpy.h>

#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "errors.h"
#include "interrupt.h"
#include "progress.h"
#include "raw_capture.h"

namespace tunekit {
namespace {

py::array_t<std::uint16_t> samples_to_array(tuning::Samples&& samples) {
  auto* owned = new tuning::Samples(std::move(samples));
  py::capsule free_when_done(owned, [](void* p) { delete static_cast<tuning::Samples*>(p); });
  return py::array_t<std::uint16_t>({static_cast<py::ssize_t>(owned->size())}, {sizeof(std::uint16_t)}, owned->data(),
                                    free_when_done);
}

// (H/2) x (W/2) x 4 view-then-copy of any 2-D array, keeping its sample type.
py::object split_bayer4(py::object frame) {
  py::array a = py::module_::import("numpy").attr("asarray")(frame);
  if (a.ndim() != 2)
    throw tuning::ShapeError("split_bayer4 needs a 2-D frame, got " + std::to_string(a.ndim()) + " dimensions");
  const auto h = a.shape(0), w = a.shape(1);
  tuning::require_even_frame(h, w);
  py::object cells = a.attr("reshape")(h / 2, 2, w / 2, 2).attr("transpose")(0, 2, 1, 3);
  return cells.attr("reshape")(h / 2, w / 2, tuning::kCellPositions);
}

}  // namespace

void declare_common(py::module_& m) {
  m.doc() = "Shared model of the tuning package: enumerations, base records, raw capture helpers.";
  define_enum(m, "SensorMode", {{"LCG", "LCG"}, {"HCG", "HCG"}}, py::none(),
              "Conversion gain mode of a capture; its name is the capture file tag.");
  define_enum(m, "CFAType", {{"RGGB", "RGGB"}, {"BGGR", "BGGR"}, {"GBRG", "GBRG"}, {"GRGB", "GRBG"}},
              py::type::of(py::str("")), "Colour filter layout; the member GRGB has the value text \"GRBG\".");
  py::object base_model = py::module_::import("pydantic").attr("BaseModel");
  define_record<tuning::FileParam>(m, base_model);
  define_record<tuning::TuningParam>(m, base_model);
  define_record<tuning::TuningResult>(m, base_model);
  declare_capture(m);
  // Ctrl-C during a calibration: the cores ask between captures and bands,
  // on the thread that loaded the module, where the host handles signals.
  tuning::set_interrupt_check([] {
    HeldGil gil;
    if (PyErr_CheckSignals() == 0) return false;
    PyErr_Clear();  // raised again as KeyboardInterrupt when the core unwinds
    return true;
  });

  m.def(
      "read_raw_u16",
      [](const std::string& path) {
        tuning::Samples samples;
        {
          ReleasedGil nogil;
          samples = tuning::read_raw_u16(path);
        }
        return samples_to_array(std::move(samples));
      },
      py::arg("path"), "A headerless capture as a flat array of unsigned 16-bit samples (raw DN).");
  m.def(
      "set_progress_hook",
      [](py::object hook) {
        if (hook.is_none()) {
          tuning::set_progress_hook({});
          return;
        }
        if (!PyCallable_Check(hook.ptr()))  // else every step would fail in it, far from this call
          throw py::type_error("set_progress_hook: expected a callable or None, found " +
                               std::string(py::str(py::type::of(hook).attr("__name__"))));
        // The hook outlives the call that installs it and may be dropped on any thread: its last
        // reference goes with the GIL held, and never once the interpreter is going away.
        std::shared_ptr<py::object> shared(new py::object(std::move(hook)), [](py::object* held) {
          if (_Py_IsFinalizing()) {
            held->release();  // the interpreter frees its objects itself
            delete held;
            return;
          }
          HeldGil gil;
          delete held;
        });
        tuning::set_progress_hook([shared](const tuning::ProgressStep& step) {
          if (_Py_IsFinalizing()) return;  // a thread still running while the host exits
          HeldGil gil;
          try {
            (*shared)(step.condition, step.done, step.total);
          } catch (py::error_already_set& e) {
            // A stop the user asked for (Ctrl-C, a signal the tool turns into one, sys.exit) ends the
            // routine here, between conditions; any other failure of the hook must never do so.
            if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
            e.discard_as_unraisable("tuning progress hook");
          }
        });
      },
      py::arg("hook"),
      "Installs hook(condition, done, total), called as each capture condition finishes; None removes it.");
  // A hook left installed is removed while the interpreter can still release it.
  py::module_::import("atexit").attr("register")(py::cpp_function([]() { tuning::set_progress_hook({}); }));
  m.def("split_bayer4", &split_bayer4, py::arg("frame"),
        "H x W frame to (H/2) x (W/2) x 4: channel c of cell (i, j) is frame[2i + c // 2, 2j + c % 2].");
}

}  // namespace tunekit
