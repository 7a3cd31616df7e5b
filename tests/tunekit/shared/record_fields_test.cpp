#include "shared/record_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blc/black_level.h"
#include "bpc/bad_pixels.h"
#include "characterize/characterization.h"
#include "characterize/file_captures.h"
#include "noise_profile/read_noise_model.h"
#include "noise_profile/shot_noise_model.h"
#include "shared/capture_format.h"
#include "shared/capture_set.h"
#include "shared/model.h"
#include "shared/record_json.h"

namespace sample {

struct Base {
  std::int64_t id = 7;
  std::string label = "base";
};

struct Derived : Base {
  double ratio = 0.5;
  int shift = 2;
  std::string tag = "derived";
};

constexpr auto record_fields_of(tuning::RecordTag<Base>) {
  return tuning::record<Base>("Base", "A base record.", tuning::field("id", &Base::id, "identifier (count)"),
                              tuning::field("label", &Base::label, "label text", "Optional[str]"));
}

constexpr auto record_fields_of(tuning::RecordTag<Derived>) {
  return tuning::record<Derived, Base>("Derived", "A derived record.",
                                       tuning::field("shift", &Derived::shift, "shift (bits)").within(0, 15),
                                       tuning::field("ratio", &Derived::ratio, "ratio (dimensionless)").unset(),
                                       tuning::field("tag", &Derived::tag, "tag text").host_only());
}

// Two fields under one name, across the base.
struct Clash : Base {
  std::int64_t other = 0;
};
constexpr auto record_fields_of(tuning::RecordTag<Clash>) {
  return tuning::record<Clash, Base>("Clash", "", tuning::field("id", &Clash::other, "clashes with the base"));
}

// Two fields over one member.
struct Twice {
  std::int64_t a = 0;
  std::int64_t b = 0;
};
constexpr auto record_fields_of(tuning::RecordTag<Twice>) {
  return tuning::record<Twice>("Twice", "", tuning::field("a", &Twice::a, "first"),
                               tuning::field("b", &Twice::a, "second, by mistake on a"));
}

struct Untabled {};

// Every kind of value the JSON writer takes.
struct Holder {
  tuning::Number gain = tuning::Number::of_integer(2);
  tuning::SensorMode mode = tuning::SensorMode::HCG;
  std::vector<Derived> items;
  std::array<Base, 2> pair;
  std::vector<std::string> words = {"a", "b"};
  bool flag = true;
};
constexpr auto record_fields_of(tuning::RecordTag<Holder>) {
  return tuning::record<Holder>("Holder", "", tuning::field("mode", &Holder::mode, "m"),
                                tuning::field("gain", &Holder::gain, "g"), tuning::field("items", &Holder::items, "i"),
                                tuning::field("pair", &Holder::pair, "p"), tuning::field("words", &Holder::words, "w"),
                                tuning::field("flag", &Holder::flag, "f"));
}

}  // namespace sample

namespace tuning {
namespace {

template <typename Struct>
std::vector<std::string> names() {
  std::vector<std::string> out;
  for_each_field<Struct>([&](const auto& f) { out.emplace_back(f.name); });
  return out;
}

TEST(RecordFields, BaseFieldsComeFirstThenOwnInDeclarationOrder) {
  EXPECT_EQ(names<sample::Base>(), (std::vector<std::string>{"id", "label"}));
  EXPECT_EQ(names<sample::Derived>(), (std::vector<std::string>{"id", "label", "shift", "ratio", "tag"}));
  // The own table alone holds only the derived struct's fields.
  std::vector<std::string> own;
  fields_of<sample::Derived>().for_each([&](const auto& f) { own.emplace_back(f.name); });
  EXPECT_EQ(own, (std::vector<std::string>{"shift", "ratio", "tag"}));
  static_assert(field_count<sample::Derived>() == 5);
  static_assert(std::is_same_v<BaseOf<sample::Derived>, sample::Base>);
  static_assert(std::is_same_v<BaseOf<sample::Base>, NoBase>);
  EXPECT_STREQ(fields_of<sample::Derived>().name, "Derived");
  EXPECT_STREQ(fields_of<sample::Derived>().doc, "A derived record.");
}

TEST(RecordFields, FieldsReadAndWriteTheirOwnMemberOfADerivedObject) {
  sample::Derived d;
  // Each field's default is the default-constructed struct's member.
  std::vector<std::string> defaults;
  for_each_field<sample::Derived>([&](const auto& f) {
    using Member = typename std::decay_t<decltype(f)>::MemberType;
    if constexpr (std::is_same_v<Member, std::string>)
      defaults.push_back(f.of(d));
    else
      defaults.push_back(std::to_string(f.of(d)));
  });
  EXPECT_EQ(defaults, (std::vector<std::string>{"7", "base", "2", "0.500000", "derived"}));

  for_each_field<sample::Derived>([&](const auto& f) {
    using Member = typename std::decay_t<decltype(f)>::MemberType;
    if constexpr (std::is_same_v<Member, std::string>)
      f.of(d) = std::string(f.name) + "!";
    else
      f.of(d) = static_cast<Member>(std::string(f.name).size());
  });
  EXPECT_EQ(d.id, 2);
  EXPECT_EQ(d.label, "label!");
  EXPECT_EQ(d.shift, 5);
  EXPECT_EQ(d.ratio, 5.0);
  EXPECT_EQ(d.tag, "tag!");
}

TEST(RecordFields, BoundsStubTypesAndHostOnlyStayOnTheirField) {
  constexpr auto base = fields_of<sample::Base>();
  constexpr auto derived = fields_of<sample::Derived>();
  const auto& id = std::get<0>(base.fields);
  const auto& label = std::get<1>(base.fields);
  const auto& shift = std::get<0>(derived.fields);
  const auto& ratio = std::get<1>(derived.fields);
  const auto& tag = std::get<2>(derived.fields);
  EXPECT_FALSE(id.bounds.has_low);
  EXPECT_FALSE(id.bounds.has_high);
  EXPECT_TRUE(shift.bounds.has_low);
  EXPECT_TRUE(shift.bounds.has_high);
  EXPECT_EQ(shift.bounds.low, 0);
  EXPECT_EQ(shift.bounds.high, 15);
  EXPECT_EQ(id.stub_type, nullptr);
  EXPECT_STREQ(label.stub_type, "Optional[str]");
  EXPECT_TRUE(id.converted);
  EXPECT_TRUE(ratio.converted);
  EXPECT_FALSE(tag.converted);
  EXPECT_TRUE(ratio.unset_by_default);
  EXPECT_FALSE(tag.unset_by_default);
  EXPECT_FALSE(shift.unset_by_default);
  EXPECT_TRUE(ratio.converted);  // options stay apart
  EXPECT_STREQ(shift.doc, "shift (bits)");

  constexpr auto at_least = field("id", &sample::Base::id, "").at_least(-3);
  static_assert(at_least.bounds.has_low && !at_least.bounds.has_high && at_least.bounds.low == -3);
}

TEST(RecordFields, NameClashesAndRepeatedMembersAreFound) {
  static_assert(names_unique<sample::Derived>());
  static_assert(!names_unique<sample::Clash>());
  static_assert(members_distinct<sample::Derived>());
  static_assert(!members_distinct<sample::Twice>());
  static_assert(kHasFields<sample::Derived>);
  static_assert(!kHasFields<sample::Untabled>);
  EXPECT_TRUE(names_unique<sample::Base>());
  EXPECT_FALSE(names_unique<sample::Clash>());
  EXPECT_FALSE(members_distinct<sample::Twice>());
}

TEST(RecordJson, KeysFollowTheTableAndValuesKeepTheirKind) {
  sample::Holder h;
  h.items.resize(1);
  h.items[0].ratio = 1.5;
  h.pair[1].label = "second";
  EXPECT_EQ(record_json(h).dump(),
            "{\"mode\":\"HCG\",\"gain\":2,\"items\":[{\"id\":7,\"label\":\"base\",\"shift\":2,\"ratio\":1.5,"
            "\"tag\":\"derived\"}],\"pair\":[{\"id\":7,\"label\":\"base\"},{\"id\":7,\"label\":\"second\"}],"
            "\"words\":[\"a\",\"b\"],\"flag\":true}");
  h.gain = Number::of_real(4.0);
  h.items.clear();
  const OrderedJson j = record_json(h);
  EXPECT_EQ(python_json_text(j["gain"]), "4.0");
  EXPECT_TRUE(j["items"].is_array());
  EXPECT_TRUE(j["items"].empty());
}

// Every record the binding declares from a table: names and members unique,
// every field documented.
template <typename Struct>
void expect_sound_table(const char* record) {
  SCOPED_TRACE(record);
  EXPECT_STREQ(fields_of<Struct>().name, record);
  EXPECT_TRUE(names_unique<Struct>());
  EXPECT_TRUE(members_distinct<Struct>());
  for_each_field<Struct>([&](const auto& f) {
    EXPECT_GT(std::string(f.doc).size(), 0u) << f.name;
    EXPECT_GT(std::string(f.name).size(), 0u);
  });
}

TEST(RecordFields, TheCoreTablesAreSound) {
  expect_sound_table<FileParam>("FileParam");
  expect_sound_table<TuningParam>("TuningParam");
  expect_sound_table<TuningResult>("TuningResult");
  expect_sound_table<CaptureFormat>("CaptureFormat");
  expect_sound_table<CaptureName>("CaptureName");
  expect_sound_table<blc::BLCFileParam>("BLCFileParam");
  expect_sound_table<blc::BLCTuningParam>("BLCTuningParam");
  expect_sound_table<bpc::BPCFileParam>("BPCFileParam");
  expect_sound_table<bpc::BPCTuningParam>("BPCTuningParam");
  expect_sound_table<noise::ReadNoiseFileParam>("ReadNoiseFileParam");
  expect_sound_table<noise::ReadNoiseTuningParam>("ReadNoiseTuningParam");
  expect_sound_table<noise::ShotNoiseFileParam>("ShotNoiseFileParam");
  expect_sound_table<noise::Rect>("Rect");
  expect_sound_table<noise::ShotNoiseTuningParam>("ShotNoiseTuningParam");
  expect_sound_table<bpc::BPCTuningResult>("BPCTuningResult");
  expect_sound_table<characterize::CharacterizationFileParam>("CharacterizationFileParam");
  expect_sound_table<characterize::CurvePoint>("CurvePoint");
  expect_sound_table<characterize::QualityFlag>("QualityFlag");
  expect_sound_table<characterize::CalibrationRelation>("CalibrationRelation");
  expect_sound_table<characterize::CellCharacterization>("CellCharacterization");
  expect_sound_table<characterize::GainCharacterization>("GainCharacterization");
  expect_sound_table<characterize::ModeCharacterization>("ModeCharacterization");
  expect_sound_table<characterize::Characterization>("Characterization");
  // The capture set records list the base's fields first.
  EXPECT_EQ(names<blc::BLCFileParam>(),
            (std::vector<std::string>{"inp_file_dir", "out_file_dir", "width", "height", "bits", "cfa_type",
                                      "sensor_mode", "again_list", "exp_time_list"}));
}

}  // namespace
}  // namespace tuning
