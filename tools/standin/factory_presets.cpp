#include "factory_presets.h"

#include "splitmix64.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace quillmar::standin {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

// How a preset is filled. The eight kinds take turns by slot (slot mod 8).
struct profile {
    // Share of fields that are set; 1 sets every field.
    double density = 0.5;
    // Every value is the field's default (proto2 presence: still written out).
    bool defaults = false;
    // Nothing but id and name.
    bool bare = false;
    // Turns the choice of enum values and list lengths, so the fully set presets between them
    // use every value.
    std::uint32_t turn = 0;
};

constexpr std::size_t profile_count = 8;

profile profile_for(int index) {
    const auto turn = static_cast<std::uint32_t>(static_cast<std::size_t>(index) / profile_count);
    switch (static_cast<std::size_t>(index) % profile_count) {
    case 0:
        return {.density = 0.25, .turn = turn};
    case 1:
    case 5:
        return {.density = 0.5, .turn = turn};
    case 2:
    case 7:
        return {.density = 0.85, .turn = turn};
    case 3:
        return {.density = 1.0, .turn = turn};
    case 4:
        return {.bare = true, .turn = turn};
    default:
        return {.density = 1.0, .defaults = true, .turn = turn};
    }
}

constexpr std::array<std::string_view, 32> base_names{
    "Init",
    "\xC3\x89p\xC3\xA9"
    "e", // Épée
    "Warm Pad",
    "Bass 1.0",
    "Lead.Saw.v2",
    "", // the one empty name
    "Strings & Brass",
    "Glass Bells (soft)",
    "Mr. Noise",
    "\xC3\x9Cnterwasser", // Ünterwasser
    "Caf\xC3\xA9 Organ",  // Café Organ
    "Sub-Bass",
    "Arp 120 bpm",
    "Pluck #7",
    "It's Alive",
    "\xCE\x94"
    "elta Sweep", // Δelta Sweep
    "\xC3\x91"
    "and\xC3\xBA",                                      // Ñandú
    "\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xAE\xE7\xAC\x9B", // 日本の笛
    "Deep  Space",
    "Trailing dot.",
    "...Dots",
    "Seq_Step_16",
    "Fat Stack [Mono]",
    "50% Wet",
    "\xC3\x96lfass", // Ölfass
    "Brass+Strings",
    "Glide=On",
    "Wobble ~ LFO",
    "Kick, Snare",
    "M\xC3\xB8\xC3\xB8se", // Møøse
    "A very long preset name that keeps on going and going",
    "\"Quoted\" Lead",
};
static_assert(static_cast<int>(base_names.size()) * 8 == preset_slot_count,
              "The names repeat eight times over the 256 slots.");

// Slot 44 (a bare preset) carries its id and nothing else, not even a name.
constexpr int slot_without_name = 44;
std::string name_for(int index) {
    const auto turn = static_cast<std::size_t>(index) / base_names.size();
    const std::string_view base = base_names[static_cast<std::size_t>(index) % base_names.size()];
    if (turn == 0) {
        return std::string(base); // slot 5 keeps the empty name
    }
    std::string name = base.empty() ? std::string("Blank") : std::string(base);
    return name + " " + std::to_string(turn + 1);
}

// Floats a synthesizer may well hold. Several need nine significant digits to be read back
// exactly (1 + 2^-23, 1/3, 2^24 - 1, the extremes); -0 differs from 0 only in its sign bit.
const std::array<float, 16> notable_floats{
    0.0f,
    -0.0f,
    1.0f,
    0.5f,
    -1.0f,
    0.7f,
    0.1f,
    std::nextafter(1.0f, 2.0f),
    1.0f / 3.0f,
    16777215.0f,
    std::numeric_limits<float>::max(),
    std::numeric_limits<float>::lowest(),
    std::numeric_limits<float>::min(),
    std::numeric_limits<float>::denorm_min(),
    -123.456f,
    440.0f,
};

constexpr std::array<std::uint32_t, 11> notable_uint32{
    0, 1, 4, 16, 64, 120, 127, 128, 300, 65535, std::numeric_limits<std::uint32_t>::max()};
constexpr std::array<std::int32_t, 9> notable_int32{0,
                                                    -1,
                                                    -12,
                                                    12,
                                                    24,
                                                    -24,
                                                    2,
                                                    std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max()};

template <typename T, std::size_t N> T pick(const std::array<T, N>& values, splitmix64& random) {
    return values[random.below(static_cast<std::uint32_t>(N))];
}

float any_float(float default_value, splitmix64& random) {
    switch (random.below(8)) {
    case 0:
        return default_value;
    case 1:
        return pick(notable_floats, random);
    case 2:
    case 3:
    case 4: {
        // A knob position: a 24-bit fraction in [0, 1).
        return static_cast<float>(random.next() >> 40) * 0x1.0p-24f;
    }
    case 5:
        // A value as a person would type it, two decimals.
        return static_cast<float>(random.below(201)) / 100.0f;
    case 6:
        return (static_cast<float>(random.next() >> 40) * 0x1.0p-24f - 0.5f) * 2000.0f;
    default: {
        // Any finite bit pattern.
        for (;;) {
            const auto bits = static_cast<std::uint32_t>(random.next());
            float value = 0;
            std::memcpy(&value, &bits, sizeof value);
            if (std::isfinite(value)) {
                return value;
            }
        }
    }
    }
}

std::uint32_t any_uint32(splitmix64& random) {
    return random.chance(0.5) ? pick(notable_uint32, random) : random.below(200);
}

std::int32_t any_int32(splitmix64& random) {
    return random.chance(0.5) ? pick(notable_int32, random)
                              : static_cast<std::int32_t>(random.below(49)) - 24;
}

void fill(Message& message, splitmix64& random, const profile& how);

// Sets a singular field, or appends one element to a repeated one; `position` counts the
// elements of a repeated field.
void put(Message& message, const FieldDescriptor* field, splitmix64& random, const profile& how,
         std::uint32_t position) {
    const auto* reflection = message.GetReflection();
    const bool repeated = field->is_repeated();
    switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_FLOAT: {
        const float v = how.defaults ? field->default_value_float()
                                     : any_float(field->default_value_float(), random);
        repeated ? reflection->AddFloat(&message, field, v)
                 : reflection->SetFloat(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_DOUBLE: {
        const double v = how.defaults ? field->default_value_double() : any_float(0.0f, random);
        repeated ? reflection->AddDouble(&message, field, v)
                 : reflection->SetDouble(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_UINT32: {
        const std::uint32_t v = how.defaults ? field->default_value_uint32() : any_uint32(random);
        repeated ? reflection->AddUInt32(&message, field, v)
                 : reflection->SetUInt32(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_UINT64: {
        const std::uint64_t v = how.defaults ? field->default_value_uint64() : random.next();
        repeated ? reflection->AddUInt64(&message, field, v)
                 : reflection->SetUInt64(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_INT32: {
        const std::int32_t v = how.defaults ? field->default_value_int32() : any_int32(random);
        repeated ? reflection->AddInt32(&message, field, v)
                 : reflection->SetInt32(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_INT64: {
        const std::int64_t v = how.defaults ? field->default_value_int64() : any_int32(random);
        repeated ? reflection->AddInt64(&message, field, v)
                 : reflection->SetInt64(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_BOOL: {
        const bool v = how.defaults ? field->default_value_bool() : random.chance(0.5);
        repeated ? reflection->AddBool(&message, field, v)
                 : reflection->SetBool(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_ENUM: {
        const auto* type = field->enum_type();
        const auto count = static_cast<std::uint32_t>(type->value_count());
        const auto* v = how.defaults ? field->default_value_enum()
                        : how.density >= 1.0
                            ? type->value(static_cast<int>((how.turn + position) % count))
                            : type->value(static_cast<int>(random.below(count)));
        repeated ? reflection->AddEnum(&message, field, v)
                 : reflection->SetEnum(&message, field, v);
        break;
    }
    case FieldDescriptor::CPPTYPE_STRING: {
        std::string v = how.defaults ? field->default_value_string()
                                     : "text " + std::to_string(random.below(100));
        repeated ? reflection->AddString(&message, field, std::move(v))
                 : reflection->SetString(&message, field, std::move(v));
        break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE: {
        Message* inner = repeated ? reflection->AddMessage(&message, field)
                                  : reflection->MutableMessage(&message, field);
        fill(*inner, random, how);
        break;
    }
    }
}

// Sets the fields of `message` as the profile says, in declaration order.
void fill(Message& message, splitmix64& random, const profile& how) {
    const auto* descriptor = message.GetDescriptor();
    const bool top = descriptor == proto::Preset::descriptor();
    for (int i = 0; i < descriptor->field_count(); ++i) {
        const FieldDescriptor* field = descriptor->field(i);
        if (top && (field->number() == proto::Preset::kIdFieldNumber ||
                    field->number() == proto::Preset::kNameFieldNumber)) {
            continue;
        }
        if (how.density < 1.0 && !random.chance(how.density)) {
            continue;
        }
        if (!field->is_repeated()) {
            put(message, field, random, how, 0);
            continue;
        }
        // Lists: a full preset holds 3 to 16 elements, the others 0 to 16 (a sequencer has at
        // most 16 steps).
        const std::uint32_t count =
            how.density >= 1.0 ? 3 + (how.turn + random.below(14)) % 14 : random.below(17);
        for (std::uint32_t position = 0; position < count; ++position) {
            put(message, field, random, how, position);
        }
    }
}

constexpr std::uint64_t preset_seed = 0x5072657365740000ull;

} // namespace

proto::Preset make_factory_preset(int index) {
    proto::Preset preset;
    preset.set_id(static_cast<std::uint32_t>(index));
    if (index != slot_without_name) {
        preset.set_name(name_for(index));
    }
    const profile how = profile_for(index);
    if (!how.bare) {
        splitmix64 random(preset_seed + static_cast<std::uint64_t>(index));
        fill(preset, random, how);
    }
    return preset;
}

std::vector<proto::Preset> make_factory_presets() {
    std::vector<proto::Preset> presets;
    presets.reserve(preset_slot_count);
    for (int i = 0; i < preset_slot_count; ++i) {
        presets.push_back(make_factory_preset(i));
    }
    return presets;
}

} // namespace quillmar::standin
