// The thin layer between the Python host and the C++ cores: host records in,
// plain structs out, core failures translated into the host's exception types.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "../shared/capture_format.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"
#include "../shared/record_fields.h"

namespace tunekit {

namespace py = pybind11;

// One field of a host record: name, annotation, default (or factory) and a
// description that states the unit. Records of a core struct with a field
// table (record_fields.h) are declared with define_record<Struct> below; these
// specs are for records the binding builds by hand. stub_type, when given, is the annotation the
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
py::object define_enum(py::module_& m, const char* name,
                       const std::vector<std::pair<const char*, const char*>>& members, py::object mixin,
                       const char* doc);

// Annotations used by the records.
py::object number_list_type();  // list of ints or reals, each kept as given
py::object typing_attr(const char* name);

// The tuning.common module, created and entered into sys.modules when the
// host has not loaded it yet, so every module can derive from its records.
py::module_ common_module();

// Conversions from host records to core structs; fields are read by name.
tuning::Number number_from(py::handle value, const char* what);
std::vector<tuning::Number> numbers_from(py::handle list, const char* what);
tuning::SensorMode sensor_mode_from(py::handle value);  // a SensorMode member or its name
tuning::CFAType cfa_type_from(py::handle value);        // a CFAType member or its value text
// None (raw16), a CaptureFormat record or a mapping of its fields, or a
// SampleLayout member or name.
tuning::CaptureFormat capture_format_from(py::handle value);
// A host integer as a 64-bit one; one outside that range is an OverflowError naming `what` and the value.
std::int64_t int_from(py::handle value, const char* what);
std::int64_t int_field(py::handle record, const char* name);
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

// ---- Records of core structs with a field table ----

// The host enumeration of a core enum: its class name (looked up in the module
// being declared, else in tuning.common), the value text of a member and the
// conversion of a host value. Declared for each enum a field table holds.
template <typename Enum>
struct HostEnum;

template <>
struct HostEnum<tuning::CFAType> {
  static constexpr const char* kName = "CFAType";
  static std::string_view text(tuning::CFAType value) { return tuning::cfa_type_value(value); }
  static tuning::CFAType from(py::handle value) { return cfa_type_from(value); }
};

template <>
struct HostEnum<tuning::SensorMode> {
  static constexpr const char* kName = "SensorMode";
  static std::string_view text(tuning::SensorMode value) { return tuning::sensor_mode_name(value); }
  static tuning::SensorMode from(py::handle value) { return sensor_mode_from(value); }
};

template <>
struct HostEnum<tuning::SampleLayout> {
  static constexpr const char* kName = "SampleLayout";
  static std::string_view text(tuning::SampleLayout value) { return tuning::sample_layout_name(value); }
};

// The class the host record or enumeration `name` has: in m when m holds it (the module
// being declared), else in tuning.common.
py::object host_class(py::module_& m, const char* name);

// How a member type of a core struct appears in a host record: its annotation,
// the host value of a C++ value (a field's default), the C++ value of a host
// value (`what` names the field in errors), and from its base whether the
// default is given as a factory (mutable values) and whether it is a list. A
// member type without one does not compile.
template <typename T, typename = void>
struct HostType;

struct HostScalar {
  static constexpr bool kFactory = false;
  static constexpr bool kList = false;
};
struct HostMutable {
  static constexpr bool kFactory = true;
  static constexpr bool kList = false;
};
struct HostList {
  static constexpr bool kFactory = true;
  static constexpr bool kList = true;
};

template <>
struct HostType<std::string> : HostScalar {
  static py::object annotation(py::module_&) { return py::type::of(py::str("")); }
  static py::object value(py::module_&, const std::string& v) { return py::str(v); }
  static std::string from(py::handle v, const char* what) { return path_text(v, what); }
};

template <typename T>
struct HostType<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> : HostScalar {
  static py::object annotation(py::module_&) { return py::type::of(py::int_(0)); }
  static py::object value(py::module_&, T v) { return py::int_(v); }
  static T from(py::handle v, const char* what) { return static_cast<T>(int_from(v, what)); }
};

template <>
struct HostType<bool> : HostScalar {
  static py::object annotation(py::module_&) { return py::type::of(py::bool_(false)); }
  static py::object value(py::module_&, bool v) { return py::bool_(v); }
  static bool from(py::handle v, const char*) { return v.cast<bool>(); }
};

template <>
struct HostType<double> : HostScalar {
  static py::object annotation(py::module_&) { return py::type::of(py::float_(0.0)); }
  static py::object value(py::module_&, double v) { return py::float_(v); }
  static double from(py::handle v, const char*) {
    return py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
  }
};

// A number kept as given: an int stays an int.
template <>
struct HostType<tuning::Number> : HostScalar {
  static py::object annotation(py::module_&);
  static py::object value(py::module_&, const tuning::Number& v);
  static tuning::Number from(py::handle v, const char* what) { return number_from(v, what); }
};

// Numbers kept as given: the host's number list (ints stay ints).
template <>
struct HostType<std::vector<tuning::Number>> : HostList {
  static py::object annotation(py::module_&) { return number_list_type(); }
  static py::object value(py::module_&, const std::vector<tuning::Number>& v);
  static std::vector<tuning::Number> from(py::handle v, const char* what) { return numbers_from(v, what); }
};

// Levels the core holds as reals: the host's number list, each entry as its real value.
template <>
struct HostType<std::vector<double>> : HostList {
  static py::object annotation(py::module_&) { return number_list_type(); }
  static py::object value(py::module_&, const std::vector<double>& v);
  static std::vector<double> from(py::handle v, const char* what);
};

template <>
struct HostType<std::vector<std::string>> : HostList {
  static py::object annotation(py::module_&) { return typing_attr("List")[py::type::of(py::str(""))]; }
  static py::object value(py::module_&, const std::vector<std::string>& v);
  static std::vector<std::string> from(py::handle v, const char* what);
};

template <typename Enum>
struct HostType<Enum, std::enable_if_t<std::is_enum_v<Enum>>> : HostScalar {
  static py::object annotation(py::module_& m) { return host_class(m, HostEnum<Enum>::kName); }
  static py::object value(py::module_& m, Enum v) {
    return annotation(m)(py::str(std::string(HostEnum<Enum>::text(v))));
  }
  static Enum from(py::handle v, const char*) { return HostEnum<Enum>::from(v); }
};

template <typename Struct>
Struct record_from(py::handle record);
template <typename Struct>
py::object record_value(py::module_& m, const Struct& value);

// A record of a struct with a field table, nested in another.
template <typename Struct>
struct HostType<Struct, std::enable_if_t<tuning::kHasFields<Struct>>> : HostMutable {
  static py::object annotation(py::module_& m) { return host_class(m, tuning::fields_of<Struct>().name); }
  static py::object value(py::module_& m, const Struct& v) { return record_value(m, v); }
  static Struct from(py::handle v, const char*) { return record_from<Struct>(v); }
};

// A list of records of a struct with a field table.
template <typename Struct>
struct HostRecordList : HostList {
  static py::object annotation(py::module_& m) {
    return typing_attr("List")[host_class(m, tuning::fields_of<Struct>().name)];
  }
  template <typename Values>
  static py::object value(py::module_& m, const Values& v) {
    py::list out;
    for (const Struct& item : v) out.append(record_value(m, item));
    return out;
  }
};

template <typename Struct>
struct HostType<std::vector<Struct>, std::enable_if_t<tuning::kHasFields<Struct>>> : HostRecordList<Struct> {
  static std::vector<Struct> from(py::handle v, const char*) {
    std::vector<Struct> out;
    for (py::handle item : v) out.push_back(record_from<Struct>(item));
    return out;
  }
};

// A fixed number of records (the host checks no count: results only).
template <typename Struct, std::size_t N>
struct HostType<std::array<Struct, N>, std::enable_if_t<tuning::kHasFields<Struct>>> : HostRecordList<Struct> {};

// The annotation with the field's bounds: a constrained int when it has any.
py::object bounded(py::object annotation, const tuning::IntegerBounds& bounds);

template <typename Field>
FieldSpec field_spec(py::module_& m, const Field& f, const typename Field::MemberType& default_value) {
  using Member = typename Field::MemberType;
  using Host = HostType<Member>;
  py::object annotation = bounded(Host::annotation(m), f.bounds);
  if (f.unset_by_default) {
    // No figure by default: None (a real one is Optional[float]), or an empty list.
    if constexpr (Host::kList) return {f.name, annotation, py::type::of(py::list()), f.doc, true, f.stub_type};
    if constexpr (std::is_floating_point_v<Member>) annotation = typing_attr("Optional")[annotation];
    return {f.name, annotation, py::none(), f.doc, false, f.stub_type};
  }
  if constexpr (Host::kFactory) {
    py::object factory = py::cpp_function([m, default_value]() mutable { return Host::value(m, default_value); });
    return {f.name, annotation, factory, f.doc, true, f.stub_type};
  } else {
    return {f.name, annotation, Host::value(m, default_value), f.doc, false, f.stub_type};
  }
}

// The host record of Struct's field table, created under m and deriving from
// base: its own fields in table order, each default the member's value in a
// default-constructed Struct (mutable ones as factories).
template <typename Struct>
py::object define_record(py::module_& m, py::handle base) {
  static_assert(tuning::names_unique<Struct>(), "two fields of the record share a name");
  static_assert(tuning::members_distinct<Struct>(), "two fields of the record name the same member");
  constexpr auto table = tuning::fields_of<Struct>();
  const Struct defaults{};
  std::vector<FieldSpec> specs;
  table.for_each([&](const auto& f) { specs.push_back(field_spec(m, f, f.of(defaults))); });
  return define_record(m, table.name, base, specs, table.doc);
}

// Reads Struct's own fields (not its base's) from the host record into out, in
// table order; fields held by the host alone are left as they are.
template <typename Struct, typename Object>
void assign_own_fields(Object& out, py::handle record) {
  tuning::fields_of<Struct>().for_each([&](const auto& f) {
    using Member = typename std::decay_t<decltype(f)>::MemberType;
    if (f.converted) f.of(out) = HostType<Member>::from(record.attr(f.name), f.name);
  });
}

// Reads every field of Struct's record, its bases' first.
template <typename Struct, typename Object>
void assign_fields(Object& out, py::handle record) {
  if constexpr (!std::is_same_v<tuning::BaseOf<Struct>, tuning::NoBase>)
    assign_fields<tuning::BaseOf<Struct>>(out, record);
  assign_own_fields<Struct>(out, record);
}

// The core struct of a host record (fields read by name); members the record
// does not hold keep their defaults.
template <typename Struct>
Struct record_from(py::handle record) {
  Struct out{};
  assign_fields<Struct>(out, record);
  return out;
}

// The host values of a struct's fields by name, its bases' included.
template <typename Struct>
py::dict record_kwargs(py::module_& m, const Struct& value) {
  py::dict kwargs;
  tuning::for_each_field<Struct>([&](const auto& f) {
    using Member = typename std::decay_t<decltype(f)>::MemberType;
    kwargs[f.name] = HostType<Member>::value(m, f.of(value));
  });
  return kwargs;
}

// The host record of a struct value (the class named by its table, from m or tuning.common).
template <typename Struct>
py::object record_value(py::module_& m, const Struct& value) {
  return host_class(m, tuning::fields_of<Struct>().name)(**record_kwargs(m, value));
}

}  // namespace tunekit
