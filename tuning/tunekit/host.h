// The thin layer between the Python host and the C++ cores: host records in,
// plain structs out, core failures translated into the host's exception types.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "../shared/capture_format.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"

namespace tunekit {

namespace py = pybind11;

// One field of a host record: name, annotation, default (or factory) and a
// description that states the unit. stub_type, when given, is the annotation the
// type stubs show where the runtime one is looser than the values (a plain dict
// whose shape the record does not validate); the stub generator reads it from the
// field's extra information.
struct FieldSpec {
  const char* name;
  py::object annotation;
  py::object default_value;
  const char* description;
  bool default_is_factory = false;
  const char* stub_type = nullptr;
};

// A pydantic model class created under module m, deriving from base, with the
// fields in the given order after the base's own fields.
py::object define_record(py::module_& m, const char* name, py::handle base, const std::vector<FieldSpec>& fields,
                         const char* doc);

// An enum.Enum class created under module m; mixin (or None) is its value type.
py::object define_enum(py::module_& m, const char* name, const std::vector<std::pair<const char*, const char*>>& members,
                       py::object mixin, const char* doc);

// Annotations used by the records.
py::object number_list_type();  // list of ints or reals, each kept as given
py::object typing_attr(const char* name);

// The tuning.common module, created and entered into sys.modules when the
// host has not loaded it yet, so every module can derive from its records.
py::module_ common_module();

// Conversions from host records to core structs; fields are read by name.
tuning::Number number_from(py::handle value, const char* what);
std::vector<tuning::Number> numbers_from(py::handle list, const char* what);
tuning::FileParam file_param_from(py::handle record);
tuning::SensorMode sensor_mode_from(py::handle value);  // a SensorMode member or its name
tuning::CFAType cfa_type_from(py::handle value);  // a CFAType member or its value text
// None (raw16), a CaptureFormat record or a mapping of its fields, or a
// SampleLayout member or name.
tuning::CaptureFormat capture_format_from(py::handle value);
std::int64_t int_field(py::handle record, const char* name);
std::string str_field(py::handle record, const char* name);
// A path argument in the file system's encoding; ValueError when it holds a NUL character (the
// system would take a shorter path).
std::string path_text(py::handle value, const char* what);

// A line of the cores as host text: bytes that are no UTF-8 (names in another encoding) shown
// as the host's repr shows them, \udcXX.
std::string host_text(const std::string& line);

// Progress lines of the cores go to the host's sys.stdout (GIL taken per line).
tuning::LineSink host_print();

// The GIL released around the work of a core. It is taken back at the end unless the host is
// exiting: a routine still running on a thread then parks that thread for good and the process
// ends it, as the host ends its own threads, instead of the host ending it in the middle of
// unwinding (which aborts the process).
class ReleasedGil {
 public:
  ReleasedGil();
  ~ReleasedGil();
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

// The GIL taken by a thread of the cores to call into the host (a line to print, the progress
// hook); once the host is exiting, such a thread parks for good instead. A thread that holds
// the GIL already (the host's own) goes on.
class HeldGil {
 public:
  HeldGil();
  ~HeldGil();
  HeldGil(const HeldGil&) = delete;
  HeldGil& operator=(const HeldGil&) = delete;

 private:
  bool counted_ = false;
  PyGILState_STATE state_{};
};

// At the host's exit (before it starts finalising): routines still running on other threads are
// told to stop and are given a moment to park. Installed once.
void install_exit_guard();

// Installs the translation of core exceptions into host exceptions (once).
void install_error_translation();

// Creates a module under its full dotted name and enters it into sys.modules
// when no module of that name is there yet.
using ModuleDeclarer = void (*)(py::module_&);
PyObject* create_module(const char* full_name, ModuleDeclarer declare);

}  // namespace tunekit
