// The fields of a record, declared once next to the core struct that holds
// them: the name the host gives the field, the member it lives in, a
// description stating the unit, and optionally the annotation the type stubs
// show where the host's own one is looser than the values. The default of a
// field is the member's value in a default-constructed struct. The binding
// builds its host record and the record -> struct conversion from the table,
// so a field is named, documented and defaulted in one place.
//
// A table is found by its struct: next to the struct, declare
//
//   constexpr auto record_fields_of(RecordTag<Struct>) {
//     return record<Struct>("Struct", "What the record describes.",
//                           field("name", &Struct::name, "what it holds (unit)"), ...);
//   }
//
// in the struct's own namespace; fields_of<Struct>() then returns it. A struct
// that derives from a struct with a table names that base (record<Struct, Base>)
// and lists only its own fields: the host record lists the base's fields first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tuning {

// Bounds of an integer field, when it has any (both inclusive).
struct IntegerBounds {
  bool has_low = false;
  std::int64_t low = 0;
  bool has_high = false;
  std::int64_t high = 0;
};

template <typename Struct, typename Member>
struct Field {
  using StructType = Struct;
  using MemberType = Member;

  const char* name;
  Member Struct::*member;
  const char* doc;                // what the field holds, with its unit
  const char* stub_type;          // annotation the stubs show instead of the host's own; nullptr: the host's
  IntegerBounds bounds{};         // values the host record accepts (integers only)
  bool converted = true;          // false: the record -> struct conversion leaves the struct's default
  bool unset_by_default = false;  // true: the host's default is no value (None; a list: empty)

  // The member in an object of the struct (or of a struct derived from it).
  template <typename Object>
  constexpr const Member& of(const Object& object) const {
    return object.*member;
  }
  template <typename Object>
  constexpr Member& of(Object& object) const {
    return object.*member;
  }

  // The same field accepting only values >= low (and <= high).
  constexpr Field at_least(std::int64_t low) const {
    static_assert(std::is_integral_v<Member>, "bounds are for integer fields");
    Field f = *this;
    f.bounds.has_low = true;
    f.bounds.low = low;
    return f;
  }
  constexpr Field within(std::int64_t low, std::int64_t high) const {
    Field f = at_least(low);
    f.bounds.has_high = true;
    f.bounds.high = high;
    return f;
  }
  // The same field with no value by default in the host record (None, or an empty list)
  // instead of the struct's: for results, which the routines always fill, and whose
  // figures may be unknown (NaN in the struct, None in the record).
  constexpr Field unset() const {
    Field f = *this;
    f.unset_by_default = true;
    return f;
  }
  // The same field held by the host alone: the conversion to the struct does not read it.
  constexpr Field host_only() const {
    Field f = *this;
    f.converted = false;
    return f;
  }
};

template <typename Struct, typename Member>
constexpr Field<Struct, Member> field(const char* name, Member Struct::*member, const char* doc,
                                      const char* stub_type = nullptr) {
  return {name, member, doc, stub_type};
}

// The base of a table whose struct derives from no struct with a table.
struct NoBase {};

template <typename Struct, typename Base, typename... Fields>
struct RecordFields {
  using StructType = Struct;
  using BaseType = Base;
  static constexpr std::size_t kSize = sizeof...(Fields);

  const char* name;  // the host record's name
  const char* doc;   // the host record's description
  std::tuple<Fields...> fields;

  // Calls visit(field) for each own field, in declaration order.
  template <typename Visit>
  constexpr void for_each(Visit&& visit) const {
    std::apply([&](const auto&... f) { (visit(f), ...); }, fields);
  }
};

// A table of Struct's own fields, in the order the host record lists them.
template <typename Struct, typename Base = NoBase, typename... Fields>
constexpr RecordFields<Struct, Base, Fields...> record(const char* name, const char* doc, Fields... fields) {
  static_assert(std::is_same_v<Base, NoBase> || std::is_base_of_v<Base, Struct>,
                "a table's base must be a base of its struct");
  static_assert((std::is_base_of_v<typename Fields::StructType, Struct> && ...),
                "every field must be a member of the struct");
  return {name, doc, std::tuple<Fields...>(fields...)};
}

// The type every table lookup takes: record_fields_of(RecordTag<S>) is found
// in S's namespace.
template <typename Struct>
struct RecordTag {};

template <typename Struct, typename = void>
struct HasFields : std::false_type {};
template <typename Struct>
struct HasFields<Struct, std::void_t<decltype(record_fields_of(RecordTag<Struct>{}))>> : std::true_type {};
template <typename Struct>
inline constexpr bool kHasFields = HasFields<Struct>::value;

template <typename Struct>
constexpr auto fields_of() {
  static_assert(kHasFields<Struct>, "no record_fields_of(RecordTag<Struct>) is declared for this struct");
  return record_fields_of(RecordTag<Struct>{});
}

template <typename Struct>
using BaseOf = typename decltype(fields_of<Struct>())::BaseType;

// Calls visit(field) for every field of Struct's record: the base's (and its
// base's) first, then its own, each in declaration order.
template <typename Struct, typename Visit>
constexpr void for_each_field(Visit&& visit) {
  if constexpr (!std::is_same_v<BaseOf<Struct>, NoBase>) for_each_field<BaseOf<Struct>>(visit);
  fields_of<Struct>().for_each(visit);
}

// Number of fields of Struct's record, its bases' included.
template <typename Struct>
constexpr std::size_t field_count() {
  std::size_t n = 0;
  for_each_field<Struct>([&](const auto&) { ++n; });
  return n;
}

// Whether same(a, b) holds for two fields a before b of Struct's record (its bases' included).
template <typename Struct, typename Same>
constexpr bool any_two_fields(Same&& same) {
  bool found = false;
  std::size_t i = 0;
  for_each_field<Struct>([&](const auto& a) {
    std::size_t j = 0;
    for_each_field<Struct>([&](const auto& b) {
      if (j++ > i && same(a, b)) found = true;
    });
    ++i;
  });
  return found;
}

// Whether no two fields of Struct's record (its bases' included) share a name.
template <typename Struct>
constexpr bool names_unique() {
  return !any_two_fields<Struct>(
      [](const auto& a, const auto& b) { return std::string_view(a.name) == std::string_view(b.name); });
}

// Whether no two fields of Struct's record (its bases' included) name the same member.
template <typename Struct>
constexpr bool members_distinct() {
  return !any_two_fields<Struct>([](const auto& a, const auto& b) {
    if constexpr (std::is_same_v<decltype(a.member), decltype(b.member)>)
      return a.member == b.member;
    else
      return false;
  });
}

}  // namespace tuning
