// tuning.bpc.bpc: static bad pixel records and routines.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <climits>

#include "../shared/errors.h"
#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "bad_pixels.h"
#include "neighbour_stats.h"

namespace tunekit {
namespace {

namespace bpc = tuning::bpc;

using Frame = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A host frame as a C-contiguous double array; anything array-like converts.
Frame frame_from(py::handle img, const char* routine) {
  Frame frame = Frame::ensure(img);
  if (!frame) throw py::error_already_set();
  if (frame.ndim() != 2)
    throw tuning::ShapeError(std::string(routine) + " needs a 2-D frame, got " + std::to_string(frame.ndim()) +
                             " dimensions");
  return frame;
}

// Hands a vector's storage to a numpy array of the given shape without copying.
template <typename T>
py::array_t<T> array_of(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule free_when_done(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(shape, owned->data(), free_when_done);
}

py::list position_list(const std::vector<bpc::PixelPosition>& positions) {
  py::list out(positions.size());
  for (std::size_t i = 0; i < positions.size(); ++i) out[i] = py::make_tuple(positions[i].first, positions[i].second);
  return out;
}

}  // namespace

template <>
struct HostEnum<bpc::BPType> {
  static constexpr const char* kName = "BPType";
  static std::string_view text(bpc::BPType value) { return bpc::bp_type_value(value); }
  static bpc::BPType from(py::handle value) {
    const py::object text =
        py::hasattr(value, "value") ? value.attr("value") : py::reinterpret_borrow<py::object>(value);
    const std::string s = py::str(text).cast<std::string>();
    if (s == "Hot") return bpc::BPType::Hot;
    if (s == "Cold") return bpc::BPType::Cold;
    throw py::value_error("bp_type must be Hot or Cold, got " + s);
  }
};

// The bad pixels of each gain as the record holds them: gain text -> (row, column) pairs.
template <>
struct HostType<std::vector<bpc::GainBadPixels>> : HostMutable {
  static py::object annotation(py::module_&) {
    py::object int_t = py::type::of(py::int_(0));
    py::object position_t = typing_attr("Tuple")[py::make_tuple(int_t, int_t)];
    return typing_attr("Dict")[py::make_tuple(py::type::of(py::str("")), typing_attr("List")[position_t])];
  }
  static py::object value(py::module_&, const std::vector<bpc::GainBadPixels>& v) {
    py::dict out;
    for (const auto& entry : v) out[py::str(entry.gain)] = position_list(entry.positions);
    return out;
  }
};

namespace {

// The routine's output is well-typed by construction; skipping validation keeps
// a frame's worth of flagged positions (a zero cold ratio flags every pixel)
// from being copied once more.
py::object result_record(py::module_& m, const bpc::BPCTuningResult& result) {
  return m.attr("BPCTuningResult").attr("construct")(**record_kwargs(m, result));
}

std::int64_t axis_index(py::handle value, std::size_t position, const char* axis) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0)
    throw tuning::AssertionFailure(std::string("the ") + axis + " of position " + std::to_string(position) + " is " +
                                   py::str(index).cast<std::string>() + ", outside the packable range 0..65535");
  return v;
}

std::vector<bpc::PixelPosition> positions_from(py::handle bp_locations) {
  std::vector<bpc::PixelPosition> out;
  for (py::handle item : bp_locations) {
    const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
    if (!py::isinstance<py::sequence>(item) || py::len(pair) != 2)
      throw py::value_error("position " + std::to_string(out.size()) + " must be a (row, column) pair, got " +
                            py::repr(item).cast<std::string>());
    out.emplace_back(axis_index(pair[0], out.size(), "row"), axis_index(pair[1], out.size(), "column"));
  }
  return out;
}

void declare_records(py::module_& m) {
  py::module_ common = common_module();
  py::object bp_type = py::module_::import("enum").attr("Enum")(
      "BPType", py::make_tuple(py::make_tuple("Hot", "Hot"), py::make_tuple("Cold", "Cold")),
      py::arg("module") = m.attr("__name__"));
  bp_type.attr("__doc__") = "Which detection a capture set is for: Hot (dark frames) or Cold (lit frames).";
  m.attr("BPType") = bp_type;

  define_record<bpc::BPCFileParam>(m, common.attr("FileParam"));
  define_record<bpc::BPCTuningParam>(m, common.attr("TuningParam"));
  define_record<bpc::BPCTuningResult>(m, common.attr("TuningResult"));
}

}  // namespace

void declare_bpc(py::module_& m) {
  m.doc() = "Static bad pixel calibration: hot pixels from dark captures, cold pixels from lit captures.";
  declare_records(m);

  m.def(
      "winAve",
      [](py::object img) {
        const Frame frame = frame_from(img, "winAve");
        const auto h = frame.shape(0), w = frame.shape(1);
        bpc::NeighbourStats stats;
        {
          ReleasedGil nogil;
          stats = bpc::win_ave(frame.data(), h, w);
        }
        return py::make_tuple(array_of(std::move(stats.min_val), {h, w}), array_of(std::move(stats.max_val), {h, w}),
                              array_of(std::move(stats.mean_val), {h, w}));
      },
      py::arg("img"),
      "(min, max, trimmed mean) of each pixel's eight same-colour neighbours, float32 maps in the frame's units.");
  m.def(
      "getDarkBad",
      [](py::object img, double cold_bad_ratio) {
        const Frame frame = frame_from(img, "getDarkBad");
        bpc::FlaggedPixels flagged;
        {
          ReleasedGil nogil;
          flagged = bpc::get_dark_bad(frame.data(), frame.shape(0), frame.shape(1), cold_bad_ratio);
        }
        const auto n = static_cast<py::ssize_t>(flagged.rows.size());
        return py::make_tuple(array_of(std::move(flagged.rows), {n}), array_of(std::move(flagged.columns), {n}));
      },
      py::arg("img"), py::arg("cold_bad_ratio"),
      "(rows, columns) of pixels deviating from their neighbours' trimmed mean by at least cold_bad_ratio times "
      "the narrower neighbour spread (frame scaled by 1/256); row-major order.");
  m.def(
      "gen_bpc_param",
      [m](py::object file_param, py::object tuning_param, py::object capture_format) mutable {
        bpc::BPCFileParam fp = record_from<bpc::BPCFileParam>(file_param);
        fp.capture_format = capture_format_from(capture_format);
        const auto tp = record_from<bpc::BPCTuningParam>(tuning_param);
        bpc::BPCTuningResult result;
        {
          ReleasedGil nogil;
          result = bpc::gen_bpc_param(fp, tp);
        }
        return result_record(m, result);
      },
      py::arg("file_param"), py::arg("tuning_param"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Bad pixels per analog gain (hot from dark captures, cold from lit captures) and the packed table.");
  m.def(
      "encode_axis_u32", [](py::object bp_locations) { return bpc::encode_axis_u32(positions_from(bp_locations)); },
      py::arg("bp_locations"),
      "Packs (row, column) positions into the static bad pixel table: per row a header word (row << 16 | count) "
      "and the columns two per word; texts '0x' + 8 lowercase hex digits.");
  m.def(
      "main",
      []() {
        ReleasedGil nogil;
        bpc::run_entry();
      },
      "Runs the hot pixel calibration on the built-in settings and writes static_bad_pixels.json.");
}

}  // namespace tunekit
