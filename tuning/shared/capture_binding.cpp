// tuning.common, capture part: sample layouts, the capture format record, the
// one reader and writer, and the capture naming rule.
#include <pybind11/numpy.h>

#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "capture_format.h"
#include "capture_reader.h"
#include "capture_set.h"
#include "dng_file.h"
#include "errors.h"

namespace tunekit {
namespace {

using namespace pybind11::literals;

// A path as the file system gives it (a name in another encoding reaches its file); a NUL is a ValueError.
std::string path_text(py::handle path) {
  return ::tunekit::path_text(py::module_::import("os").attr("fspath")(path), "path");
}

// Exposure and gain as the numbers' text; text (such as "*") is kept as given.
std::string number_text(py::handle value, const char* what) {
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  return number_from(value, what).text();
}

using Frame = py::array_t<std::uint16_t, py::array::c_style>;

// A 2-D frame as contiguous uint16 samples; other integer types are taken
// when every value fits, anything else is refused rather than wrapped.
Frame frame_from(py::handle frame) {
  py::module_ np = py::module_::import("numpy");
  py::array a = np.attr("asarray")(frame);
  if (a.ndim() != 2)
    throw tuning::ShapeError("a capture frame must be 2-D (height x width), got " + std::to_string(a.ndim()) +
                             " dimensions");
  const char kind = a.dtype().kind();
  if (kind != 'u' && kind != 'i')
    throw py::type_error("a capture frame must hold integer samples, got dtype " +
                         py::str(a.dtype()).cast<std::string>());
  if (a.size() > 0 && !a.dtype().is(py::dtype::of<std::uint16_t>())) {
    const auto low = np.attr("min")(a).cast<std::int64_t>();
    const auto high = np.attr("max")(a).cast<std::uint64_t>();
    if (low < 0 || high > 0xFFFF)
      throw tuning::ShapeError("capture samples must be 0..65535, got values " + std::to_string(low) + ".." +
                               std::to_string(high));
  }
  return Frame::ensure(np.attr("ascontiguousarray")(a, "dtype"_a = np.attr("uint16")));
}

// Text of a name part as the file system gives it: bytes that are not UTF-8 become the escapes
// os.fsdecode makes, so the part names the same bytes again when it is written back.
py::str name_text(const std::string& part) {
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(part.data(), static_cast<Py_ssize_t>(part.size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::object capture_name_record(const tuning::CaptureName& n) {
  py::module_ m = common_module();
  return m.attr("CaptureName")("prefix"_a = name_text(n.prefix), "kind"_a = name_text(n.kind),
                               "mode"_a = m.attr("SensorMode").attr(std::string(sensor_mode_name(n.mode)).c_str()),
                               "exposure"_a = name_text(n.exposure), "gain"_a = name_text(n.gain),
                               "suffix"_a = name_text(n.suffix), "extension"_a = name_text(n.extension));
}

template <typename Values>
py::list list_of(const Values& values) {
  py::list out;
  for (auto v : values) out.append(v);
  return out;
}

py::object dng_info_record(const tuning::DngInfo& info) {
  py::module_ m = common_module();
  auto optional = [](const std::optional<double>& v) -> py::object {
    return v ? py::object(py::float_(*v)) : py::object(py::none());
  };
  return m.attr("DngInfo")("width"_a = info.width, "height"_a = info.height, "bits"_a = info.bits,
                           "cfa_type"_a = m.attr("CFAType")(std::string(tuning::cfa_type_value(info.cfa_type))),
                           "black_level"_a = list_of(info.black_level),
                           "black_level_repeat_dim"_a = list_of(info.black_level_repeat_dim),
                           "white_level"_a = info.white_level, "exposure_time"_a = optional(info.exposure_time),
                           "iso"_a = optional(info.iso), "analog_gain"_a = optional(info.analog_gain));
}

// (tag, TIFF type, count, bytes) tuples as the writer's extra tags; the bytes
// are the values as the file stores them (little-endian numbers, or opaque
// data for UNDEFINED), and must be count values of the type long.
std::vector<tuning::DngTag> extra_tags_from(py::handle tags) {
  std::vector<tuning::DngTag> out;
  if (tags.is_none()) return out;
  for (py::handle item : tags) {
    auto t = item.cast<py::tuple>();
    if (t.size() != 4)
      throw py::value_error("an extra DNG tag is (tag, type, count, bytes), got " + std::to_string(t.size()) +
                            " items");
    const auto tag = t[0].cast<std::uint16_t>();
    const auto type = t[1].cast<std::uint16_t>();
    const auto count = t[2].cast<std::uint32_t>();
    const std::string data = t[3].cast<py::bytes>();
    std::size_t width = 0;
    switch (static_cast<tuning::TiffType>(type)) {
      case tuning::TiffType::byte:
      case tuning::TiffType::ascii:
      case tuning::TiffType::undefined:
        width = 1;
        break;
      case tuning::TiffType::short_:
        width = 2;
        break;
      case tuning::TiffType::long_:
        width = 4;
        break;
      case tuning::TiffType::rational:
      case tuning::TiffType::srational:
      case tuning::TiffType::double_:
        width = 8;
        break;
    }
    if (width == 0)
      throw py::value_error("extra DNG tag " + std::to_string(tag) + ": TIFF type " + std::to_string(type) +
                            " is not one the writer stores");
    if (data.size() != width * count)
      throw py::value_error("extra DNG tag " + std::to_string(tag) + ": " + std::to_string(count) + " values take " +
                            std::to_string(width * count) + " bytes, got " + std::to_string(data.size()));
    out.push_back(tuning::DngTag::raw_bytes(tag, static_cast<tuning::TiffType>(type), count,
                                            std::vector<std::uint8_t>(data.begin(), data.end())));
  }
  return out;
}

std::optional<double> optional_number(py::handle value) {
  if (value.is_none()) return std::nullopt;
  return value.cast<double>();
}

// Writes frame as a DNG; the settings are checked before the GIL is released.
void write_dng_frame(const std::string& path, py::handle frame, const tuning::DngWriteInfo& info) {
  Frame samples = frame_from(frame);
  const std::int64_t height = samples.shape(0), width = samples.shape(1);
  const std::uint16_t* data = samples.data();
  ReleasedGil nogil;
  tuning::write_dng(path, data, width, height, info);
}

}  // namespace

void declare_capture(py::module_& m) {
  std::vector<std::pair<const char*, const char*>> members;
  for (auto l : tuning::kSampleLayouts) {
    const char* name = tuning::sample_layout_name(l).data();  // names are string literals
    members.emplace_back(name, name);
  }
  define_enum(m, "SampleLayout", members, py::type::of(py::str("")),
              "How a capture file stores its samples: raw16 (headerless little-endian 16-bit), raw16be (big-endian "
              "16-bit), raw16msb (little-endian 16-bit, data in the top bits: value = sample >> shift), raw8, raw10p / "
              "raw12p / raw14p (MIPI CSI-2 packed), dng (uncompressed CFA DNG).");
  py::object base_model = py::module_::import("pydantic").attr("BaseModel");
  define_record<tuning::CaptureFormat>(m, base_model);
  define_record<tuning::CaptureName>(m, base_model);

  py::object float_t = py::type::of(py::float_(0.0));
  py::object int_t = py::type::of(py::int_(0));
  py::object optional_float = typing_attr("Optional")[float_t];
  py::object cfa = m.attr("CFAType");
  define_record(m, "DngInfo", base_model,
                {{"width", int_t, py::int_(0), "frame width in pixels"},
                 {"height", int_t, py::int_(0), "frame height in rows"},
                 {"bits", int_t, py::int_(16), "BitsPerSample of the raw image, in bits"},
                 {"cfa_type", cfa, cfa.attr("RGGB"), "colour filter layout (CFAPattern)"},
                 {"black_level", typing_attr("List")[float_t], py::module_::import("builtins").attr("list"),
                  "BlackLevel in DN, row-major over black_level_repeat_dim", true},
                 {"black_level_repeat_dim", typing_attr("List")[int_t], py::module_::import("builtins").attr("list"),
                  "BlackLevelRepeatDim as [rows, cols]", true},
                 {"white_level", int_t, py::int_(0), "WhiteLevel in DN"},
                 {"exposure_time", optional_float, py::none(), "ExposureTime in seconds, None when absent"},
                 {"iso", optional_float, py::none(), "ISOSpeedRatings, None when absent"},
                 {"analog_gain", optional_float, py::none(), "analog gain in times, None when absent"}},
                "What a DNG capture says about its raw image.");

  m.def(
      "read_dng",
      [](py::object path) {
        const std::string file = path_text(path);
        tuning::DngFrame frame;
        {
          ReleasedGil nogil;
          frame = tuning::read_dng(file);
        }
        Frame samples({static_cast<py::ssize_t>(frame.info.height), static_cast<py::ssize_t>(frame.info.width)});
        std::copy(frame.samples.begin(), frame.samples.end(), samples.mutable_data());
        return py::make_tuple(samples, dng_info_record(frame.info));
      },
      py::arg("path"),
      "(samples, DngInfo) of an uncompressed CFA DNG (8/10/12/14/16 bits, strips or tiles); samples are a "
      "height x width uint16 array in raw DN. A compressed or non-CFA DNG, a TIFF that is no DNG or a missing "
      "tag raises ValueError naming the file and the tag.");
  m.def(
      "write_dng",
      [](py::object path, py::object frame, py::object cfa_type, int bits, py::object black_level,
         std::int64_t white_level, py::object exposure_time, py::object iso, py::object analog_gain,
         py::object extra_tags) {
        if (white_level < 0 || white_level > 0xFFFF)
          throw py::value_error("white_level must be 0..65535 DN, got " + std::to_string(white_level));
        tuning::DngWriteInfo info;
        info.cfa_type = cfa_type_from(cfa_type);
        info.bits = bits;
        info.black_level.clear();
        if (py::isinstance<py::sequence>(black_level))
          for (py::handle v : black_level) info.black_level.push_back(v.cast<double>());
        else
          info.black_level.push_back(black_level.cast<double>());
        info.white_level = static_cast<std::uint32_t>(white_level);
        info.exposure_time = optional_number(exposure_time);
        info.iso = optional_number(iso);
        info.analog_gain = optional_number(analog_gain);
        info.extra_tags = extra_tags_from(extra_tags);
        write_dng_frame(path_text(path), frame, info);
      },
      py::arg("path"), py::arg("frame"), py::kw_only(), py::arg("cfa_type"), py::arg("bits"), py::arg("black_level"),
      py::arg("white_level"), py::arg("exposure_time") = py::none(), py::arg("iso") = py::none(),
      py::arg("analog_gain") = py::none(), py::arg("extra_tags") = py::none(),
      "Writes an uncompressed 16-bit-container CFA DNG (DNGVersion 1.4) aside, then renames it into place. "
      "black_level is one value or four in CFA-cell order (DN); exposure_time in seconds; extra_tags are "
      "(tag, TIFF type, count, bytes as stored) tuples added to IFD 0 (NoiseProfile, OpcodeList1, ...); a sample "
      "above 2^bits - 1, a tag the writer sets itself or bytes that do not match the count raise ValueError.");
  m.def(
      "read_capture",
      [](py::object path, std::int64_t width, std::int64_t height, py::object capture_format) {
        const std::string file = path_text(path);
        const tuning::CaptureFormat format = capture_format_from(capture_format);
        std::unique_ptr<tuning::CaptureFile> capture;
        {
          ReleasedGil nogil;
          capture = std::make_unique<tuning::CaptureFile>(file, format, width, height);
        }
        Frame frame({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
        std::uint16_t* dest = frame.mutable_data();
        {
          ReleasedGil nogil;
          capture->read_frame(dest);
        }
        return frame;
      },
      py::arg("path"), py::arg("width"), py::arg("height"), py::kw_only(), py::arg("capture_format") = py::none(),
      "The frame of one capture as a height x width uint16 array of raw DN. A file whose size does not fit the "
      "format raises ValueError naming the file, the expected and the found size; a folder, FIFO or other "
      "non-regular file raises OSError without blocking. Only the bytes the frame needs are read.");
  m.def(
      "capture_file_size",
      [](std::int64_t width, std::int64_t height, py::object capture_format) {
        return tuning::capture_file_bytes(capture_format_from(capture_format), width, height);
      },
      py::arg("width"), py::arg("height"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Exact size in bytes of a capture file of this format (ValueError for dng, whose size is not fixed).");
  m.def(
      "write_capture",
      [](py::object path, py::object frame, py::object capture_format) {
        const std::string file = path_text(path);
        const tuning::CaptureFormat format = capture_format_from(capture_format);
        if (format.is_dng()) return write_dng_frame(file, frame, tuning::DngWriteInfo{});
        Frame samples = frame_from(frame);
        const std::int64_t height = samples.shape(0), width = samples.shape(1);
        const std::uint16_t* data = samples.data();
        ReleasedGil nogil;
        tuning::write_capture(file, format, data, width, height);
      },
      py::arg("path"), py::arg("frame"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Packs a 2-D frame of samples into the format and writes it aside, then renames it into place (never a "
      "partial file). A sample the layout cannot hold raises ValueError. dng writes a 16-bit RGGB DNG with "
      "black level 0 and white level 65535 (write_dng sets them).");
  m.def(
      "capture_name",
      [](py::object prefix, py::object kind, py::object mode, py::object exposure, py::object gain, py::object suffix,
         py::object capture_format) {
        return name_text(
            tuning::capture_name(::tunekit::path_text(prefix, "prefix"), ::tunekit::path_text(kind, "kind"),
                                 sensor_mode_from(mode), number_text(exposure, "exposure"), number_text(gain, "gain"),
                                 ::tunekit::path_text(suffix, "suffix"), capture_format_from(capture_format)));
      },
      py::arg("prefix"), py::arg("kind"), py::arg("mode"), py::arg("exposure"), py::arg("gain"), py::arg("suffix"),
      py::kw_only(), py::arg("capture_format") = py::none(),
      "<prefix>_<kind>_<LCG|HCG>_exp_<exposure>_again_<gain>_<suffix>.raw (.dng for dng); numbers as their text "
      "(16 stays \"16\", 16.0 stays \"16.0\").");
  m.def(
      "parse_capture_name",
      [](py::object name) -> py::object {
        const std::string base =
            ::tunekit::path_text(py::module_::import("os").attr("path").attr("basename")(name), "name");
        const auto parts = tuning::parse_capture_name(base);
        if (!parts) return py::none();
        return capture_name_record(*parts);
      },
      py::arg("name"),
      "The parts of a capture file name (its folder is ignored), or None when it follows no convention.");
  m.def(
      "capture_pattern",
      [](py::object folder, const std::string& kind, py::object mode, py::object exposure, py::object gain,
         py::object capture_format) {
        return tuning::capture_pattern(path_text(folder), kind, sensor_mode_from(mode),
                                       number_text(exposure, "exposure"), number_text(gain, "gain"),
                                       capture_format_from(capture_format));
      },
      py::arg("folder"), py::arg("kind"), py::arg("mode"), py::arg("exposure"), py::arg("gain"), py::kw_only(),
      py::arg("capture_format") = py::none(),
      "The glob the routines use for the captures of one condition; exposure or gain may be \"*\".");
}

}  // namespace tunekit
