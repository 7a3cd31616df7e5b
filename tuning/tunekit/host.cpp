#include "host.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <filesystem>
#include <system_error>

#include "../shared/capture_format.h"
#include "../shared/capture_reader.h"
#include "../shared/errors.h"
#include "../shared/interrupt.h"

namespace tunekit {

py::object typing_attr(const char* name) { return py::module_::import("typing").attr(name); }

py::object number_list_type() {
  // StrictInt first: a plain int stays an int, 1.5 and 16.0 stay reals.
  py::object strict_int = py::module_::import("pydantic").attr("StrictInt");
  py::object number = typing_attr("Union")[py::make_tuple(strict_int, py::type::of(py::float_(0.0)))];
  return typing_attr("List")[number];
}

py::object define_enum(py::module_& m, const char* name,
                       const std::vector<std::pair<const char*, const char*>>& members, py::object mixin,
                       const char* doc) {
  py::list pairs;
  for (const auto& [member, value] : members) pairs.append(py::make_tuple(member, value));
  py::dict kwargs;
  kwargs["module"] = m.attr("__name__");
  if (!mixin.is_none()) kwargs["type"] = mixin;
  py::object cls = py::module_::import("enum").attr("Enum")(name, pairs, **kwargs);
  cls.attr("__doc__") = doc;
  m.attr(name) = cls;
  return cls;
}

py::object define_record(py::module_& m, const char* name, py::handle base, const std::vector<FieldSpec>& fields,
                         const char* doc) {
  py::module_ pydantic = py::module_::import("pydantic");
  py::dict kwargs;
  kwargs["__base__"] = base;
  kwargs["__module__"] = m.attr("__name__");
  for (const auto& f : fields) {
    py::dict field_kwargs;
    field_kwargs["description"] = f.description;
    if (f.stub_type != nullptr) field_kwargs["stub_type"] = f.stub_type;
    if (f.default_is_factory) field_kwargs["default_factory"] = f.default_value;
    py::object info = f.default_is_factory ? pydantic.attr("Field")(**field_kwargs)
                                           : pydantic.attr("Field")(f.default_value, **field_kwargs);
    kwargs[f.name] = py::make_tuple(f.annotation, info);
  }
  py::object cls = pydantic.attr("create_model")(name, **kwargs);
  cls.attr("__doc__") = doc;
  m.attr(name) = cls;
  return cls;
}

namespace {

// A host integer as a 64-bit one; one outside that range is an OverflowError naming the field
// and the value instead of the converter's "Unable to cast".
std::int64_t checked_int64(py::handle value, const char* what) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0) {
    const std::string text =
        std::string(what) + " " + py::repr(value).cast<std::string>() + " is outside -2^63..2^63-1";
    PyErr_SetString(PyExc_OverflowError, text.c_str());
    throw py::error_already_set();
  }
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<std::int64_t>(v);
}

}  // namespace

tuning::Number number_from(py::handle value, const char* what) {
  if (PyBool_Check(value.ptr()) == 0 && PyLong_Check(value.ptr()))
    return tuning::Number::of_integer(checked_int64(value, what));
  if (PyFloat_Check(value.ptr())) return tuning::Number::of_real(value.cast<double>());
  // numpy scalars and other number types: integers when they say so.
  if (py::isinstance(value, py::module_::import("numbers").attr("Integral")))
    return tuning::Number::of_integer(checked_int64(py::int_(py::reinterpret_borrow<py::object>(value)), what));
  if (py::isinstance(value, py::module_::import("numbers").attr("Real")))
    return tuning::Number::of_real(py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>());
  throw py::type_error(std::string(what) + " entries must be numbers, got " + py::repr(value).cast<std::string>());
}

std::vector<tuning::Number> numbers_from(py::handle list, const char* what) {
  std::vector<tuning::Number> out;
  for (py::handle item : list) out.push_back(number_from(item, what));
  return out;
}

std::int64_t int_from(py::handle value, const char* what) {
  if (PyLong_Check(value.ptr())) return checked_int64(value, what);
  return value.cast<std::int64_t>();
}

std::int64_t int_field(py::handle record, const char* name) { return int_from(record.attr(name), name); }

py::object host_class(py::module_& m, const char* name) {
  if (py::hasattr(m, name)) return m.attr(name);
  return common_module().attr(name);
}

py::object bounded(py::object annotation, const tuning::IntegerBounds& bounds) {
  if (!bounds.has_low && !bounds.has_high) return annotation;
  py::dict limits;
  if (bounds.has_low) limits["ge"] = bounds.low;
  if (bounds.has_high) limits["le"] = bounds.high;
  return py::module_::import("pydantic").attr("conint")(**limits);
}

py::object HostType<tuning::Number>::annotation(py::module_&) {
  return typing_attr(
      "Union")[py::make_tuple(py::module_::import("pydantic").attr("StrictInt"), py::type::of(py::float_(0.0)))];
}

py::object HostType<tuning::Number>::value(py::module_&, const tuning::Number& n) {
  if (n.is_integer) return py::int_(n.integer);
  return py::float_(n.real);
}

py::object HostType<std::vector<std::string>>::value(py::module_&, const std::vector<std::string>& v) {
  py::list out;
  for (const std::string& text : v) out.append(py::str(text));
  return out;
}

std::vector<std::string> HostType<std::vector<std::string>>::from(py::handle v, const char* what) {
  std::vector<std::string> out;
  for (py::handle item : v) out.push_back(path_text(item, what));
  return out;
}

py::object HostType<std::vector<tuning::Number>>::value(py::module_& m, const std::vector<tuning::Number>& v) {
  py::list out;
  for (const tuning::Number& n : v) out.append(HostType<tuning::Number>::value(m, n));
  return out;
}

py::object HostType<std::vector<double>>::value(py::module_&, const std::vector<double>& v) {
  py::list out;
  for (double x : v) out.append(py::float_(x));
  return out;
}

std::vector<double> HostType<std::vector<double>>::from(py::handle v, const char* what) {
  std::vector<double> out;
  for (const tuning::Number& n : numbers_from(v, what)) out.push_back(n.value());
  return out;
}

std::string path_text(py::handle value, const char* what) {
  // The file system's encoding (UTF-8 with escapes for the bytes it cannot decode), so a name
  // the file system gave in another encoding reaches the file it names.
  py::str text(value);
  py::bytes encoded = py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(text.ptr()));
  if (!encoded) throw py::error_already_set();
  std::string out = encoded;
  if (out.find('\0') != std::string::npos) throw py::value_error(std::string(what) + " holds a NUL character");
  return out;
}

namespace {

std::string enum_text(py::handle value, const char* attr) {
  if (py::hasattr(value, attr)) return py::str(value.attr(attr)).cast<std::string>();
  return py::str(value).cast<std::string>();
}

}  // namespace

tuning::SensorMode sensor_mode_from(py::handle value) {
  const std::string name = enum_text(value, "name");
  if (name == "LCG") return tuning::SensorMode::LCG;
  if (name == "HCG") return tuning::SensorMode::HCG;
  throw py::value_error("sensor_mode must be LCG or HCG, got " + name);
}

tuning::CFAType cfa_type_from(py::handle value) {
  const std::string text = enum_text(value, "value");
  for (auto t : {tuning::CFAType::RGGB, tuning::CFAType::BGGR, tuning::CFAType::GBRG, tuning::CFAType::GRGB})
    if (tuning::cfa_type_value(t) == text) return t;
  throw py::value_error("cfa_type must be RGGB, BGGR, GBRG or GRBG, got " + text);
}

tuning::CaptureFormat capture_format_from(py::handle value) {
  tuning::CaptureFormat format;
  if (value.is_none()) return format;
  // A mapping (a config file's entry) is checked as the record checks it.
  if (py::isinstance<py::dict>(value))
    return capture_format_from(common_module().attr("CaptureFormat")(**py::reinterpret_borrow<py::dict>(value)));
  // A bare layout (member or name) stands for that layout with no stride or header.
  const bool bare = py::isinstance<py::str>(value);
  const std::string name = enum_text(bare ? value : value.attr("layout"), "value");
  const auto layout = tuning::sample_layout_from_name(name);
  if (!layout) {
    std::string names;
    for (auto l : tuning::kSampleLayouts)
      names += (names.empty() ? "" : ", ") + std::string(tuning::sample_layout_name(l));
    throw py::value_error("capture_format layout must be one of " + names + ", got " + name);
  }
  format.layout = *layout;
  if (bare) return format;
  format.stride = int_field(value, "stride");
  format.header = int_field(value, "header");
  format.shift = static_cast<int>(int_field(value, "shift"));
  return format;
}

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there starts none.
std::size_t utf8_sequence(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  const unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second >= 0x90))
    return 0;  // overlong forms, surrogates, past U+10FFFF
  return length;
}

}  // namespace

std::string host_text(const std::string& line) {
  // A path the file system gave in another encoding holds bytes that are no UTF-8; the host
  // shows such a byte b of a name as the escape \udcXX (its surrogate), as its own repr does.
  std::string out;
  out.reserve(line.size());
  for (std::size_t i = 0; i < line.size();) {
    const std::size_t length = utf8_sequence(line, i);
    if (length == 0) {
      static const char* kHex = "0123456789abcdef";
      const auto b = static_cast<unsigned char>(line[i++]);
      out += "\\udc";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      continue;
    }
    out.append(line, i, length);
    i += length;
  }
  return out;
}

tuning::LineSink host_print() {
  return [](const std::string& line) {
    if (_Py_IsFinalizing()) return;  // a routine still running on a thread while the host exits
    HeldGil gil;
    py::print(host_text(line));
  };
}

namespace {

// Set by the exit guard while the host can still run threads; read before every return into it.
std::atomic<bool> host_exiting{false};
// Threads of the cores between deciding to enter the host and leaving it again, and threads
// working with the GIL released that have not parked: the exit guard waits for both to drain.
std::atomic<int> entering_host{0};
std::atomic<int> working{0};
// How long the exit waits for routines to stop: they check between captures and bands.
constexpr auto kExitWait = std::chrono::seconds(2);

[[noreturn]] void park() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

ReleasedGil::ReleasedGil() : state_(PyEval_SaveThread()) { ++working; }

ReleasedGil::~ReleasedGil() {
  // Counted before the flag is read: either this thread sees the exit, or the exit waits for it.
  ++entering_host;
  --working;
  if (host_exiting) {
    --entering_host;
    park();
  }
  PyEval_RestoreThread(state_);
  --entering_host;
}

HeldGil::HeldGil() {
  if (PyGILState_Check()) {
    state_ = PyGILState_Ensure();
    return;
  }
  ++entering_host;
  if (host_exiting) {
    --entering_host;
    park();
  }
  counted_ = true;
  state_ = PyGILState_Ensure();
}

HeldGil::~HeldGil() {
  PyGILState_Release(state_);
  if (counted_) --entering_host;
}

void install_exit_guard() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  py::module_::import("atexit").attr("register")(py::cpp_function([]() {
    host_exiting = true;
    tuning::request_interrupt();
    py::gil_scoped_release nogil;
    const auto until = std::chrono::steady_clock::now() + kExitWait;
    while ((entering_host > 0 || working > 0) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }));
}

namespace {

void set_os_error(const std::filesystem::filesystem_error& e, const std::string& reason) {
  const int err = e.code().value();
  py::object message = py::str(reason);
  // Constructing OSError with an errno picks the matching subclass (FileNotFoundError, ...).
  py::object exc = py::reinterpret_steal<py::object>(
      PyObject_CallFunction(PyExc_OSError, "iOs", err, message.ptr(), e.path1().c_str()));
  if (!exc) return;  // the call left its own error set
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

// Sets the host error for the exception being handled; returns false when it
// is not one of ours (pybind11 then applies its own translation).
bool set_host_error(const std::exception_ptr& p) {
  try {
    std::rethrow_exception(p);
  } catch (const tuning::CalibrationError& e) {
    try {
      std::rethrow_if_nested(e);
    } catch (...) {
      if (set_host_error(std::current_exception())) {
        py::raise_from(PyExc_RuntimeError, e.what());
        return true;
      }
    }
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const tuning::ShapeError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const tuning::Interrupted&) {
    tuning::clear_interrupt();
    PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const tuning::FormatError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const tuning::AssertionFailure& e) {
    PyErr_SetString(PyExc_AssertionError, e.what());
  } catch (const tuning::DivisionByZero& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
  } catch (const tuning::NotRegularFileError& e) {
    set_os_error(e, tuning::NotRegularFileError::kReason);
  } catch (const std::filesystem::filesystem_error& e) {
    set_os_error(e, e.code().message());
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

void install_error_translation() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  py::register_exception_translator([](std::exception_ptr p) {
    if (p && !set_host_error(p)) std::rethrow_exception(p);
  });
}

namespace {

// Path of this library file, for modules created outside the import system.
std::string library_path() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&library_path), &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

}  // namespace

PyObject* create_module(const char* full_name, ModuleDeclarer declare) {
  // One definition per module object: the host may load a module twice under
  // two names ("bpc" and "tuning.bpc.bpc"), and it keeps each definition for
  // the life of the process, so it is never freed.
  auto* def = new PyModuleDef{};
  auto m = py::module_::create_extension_module(full_name, nullptr, def);
  try {
    install_error_translation();
    install_exit_guard();
    m.attr("__file__") = library_path();  // the import system sets the same when it loads the module
    declare(m);
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains(full_name)) {
      modules[full_name] = m;
      // Bind it on its loaded parent package too, as an import would, so that
      // `import tuning.common` after a load under another name finds it.
      const std::string name = full_name;
      const auto dot = name.rfind('.');
      if (dot != std::string::npos && modules.contains(name.substr(0, dot)))
        py::setattr(modules[py::str(name.substr(0, dot))], name.substr(dot + 1).c_str(), m);
    }
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return nullptr;
}

}  // namespace tunekit
