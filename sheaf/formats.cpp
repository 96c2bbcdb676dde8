#include "formats.h"

#include <cstring>

#include "narc.h"
#include "nds.h"
#include "rarc.h"
#include "sarc.h"
#include "u8.h"

namespace sheaf {

namespace {

// The archive formats whose reader and writer take their own model type.
template <class M>
struct Held : Model {
  M value;
};

template <class M, bool (*ReadTables)(Input&, Messages&, M*, Tree*)>
std::unique_ptr<Model> ReadInto(Input& input, Messages& messages, Tree* tree, bool* ok) {
  auto held = std::make_unique<Held<M>>();
  *ok = ReadTables(input, messages, &held->value, tree);
  return held;
}

template <class M, bool (*Lay)(const M&, bool, const PackJob&, Plan*)>
bool PlanFrom(const Model* original, bool big_endian, const PackJob& job, Plan* plan) {
  if (original != nullptr)
    return Lay(static_cast<const Held<M>*>(original)->value, true, job, plan);
  M defaults{};
  if constexpr (requires { defaults.order.big; }) defaults.order.big = big_endian;
  return Lay(defaults, false, job, plan);
}

template <size_t N>
bool Magic(const uint8_t* head, size_t size, const char (&magic)[N]) {
  return size >= N - 1 && memcmp(head, magic, N - 1) == 0;
}

bool IsSarc(const uint8_t* head, size_t size, uint64_t, const std::string&) {
  return Magic(head, size, "SARC") && size >= 8 &&
         ((head[6] == 0xFE && head[7] == 0xFF) || (head[6] == 0xFF && head[7] == 0xFE));
}
bool IsRarc(const uint8_t* head, size_t size, uint64_t, const std::string&) {
  return Magic(head, size, "RARC") || Magic(head, size, "CRAR");
}
bool IsU8(const uint8_t* head, size_t size, uint64_t, const std::string&) {
  return Magic(head, size, "\x55\xAA\x38\x2D");
}
bool IsNarc(const uint8_t* head, size_t size, uint64_t, const std::string&) {
  return Magic(head, size, "NARC");
}

// "a, b or c".
std::string Alternatives(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    text += i == 0 ? "" : i + 1 == names.size() ? " or " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

const std::vector<FormatUnit>& FormatUnits() {
  static const std::vector<FormatUnit> units = {
      {Format::kSarc,
       "SARC",
       {{"sarc", false}, {"sarc-be", true}},
       {".sarc"},
       false,
       IsSarc,
       ReadInto<SarcModel, ReadSarc>,
       nullptr,
       PlanFrom<SarcModel, PlanSarc>},
      {Format::kRarc,
       "RARC",
       {{"rarc", true}},
       {".arc", ".rarc"},
       false,
       IsRarc,
       ReadInto<RarcModel, ReadRarc>,
       nullptr,
       PlanFrom<RarcModel, PlanRarc>},
      {Format::kU8,
       "U8",
       {{"u8", true}},
       {".u8"},
       false,
       IsU8,
       ReadInto<U8Model, ReadU8>,
       nullptr,
       PlanFrom<U8Model, PlanU8>},
      {Format::kNarc,
       "NARC",
       {{"narc", false}},
       {".narc", ".carc"},
       false,
       IsNarc,
       ReadInto<NarcModel, ReadNarc>,
       nullptr,
       PlanFrom<NarcModel, PlanNarc>},
      {Format::kNds,
       "DS ROM",
       {{"nds", false}},
       {".nds", ".srl"},
       true,
       IsNdsRom,
       ReadNdsRom,
       VerifyNdsRom,
       PlanNdsRom},
  };
  return units;
}

const FormatUnit& UnitOf(Format format) {
  for (const FormatUnit& unit : FormatUnits()) {
    if (unit.format == format) return unit;
  }
  return FormatUnits().front();
}

std::string FormatChoices() {
  std::vector<std::string> names;
  for (const FormatUnit& unit : FormatUnits()) {
    for (const FormatUnit::Choice& choice : unit.choices) names.push_back(choice.name);
  }
  return Alternatives(names);
}

std::string FormatNames() {
  std::vector<std::string> names;
  for (const FormatUnit& unit : FormatUnits()) names.push_back(unit.name);
  return Alternatives(names);
}

}  // namespace sheaf
