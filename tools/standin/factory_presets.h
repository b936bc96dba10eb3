#pragma once

#include "preset.pb.h"

#include <vector>

namespace quillmar::standin {

// The synthesizer holds this many presets, slots 0 to 255.
inline constexpr int preset_slot_count = 256;

// The presets a new stand-in holds: preset i sits in slot i and carries id i. They are the same
// on every run and are chosen to exercise whoever stores them: every message and field of the
// schema is set somewhere, repeated fields hold several elements, enums take every value,
// fields are set to their default values, floats come in every shape short of NaN and
// infinity (many need nine significant digits), and the names carry spaces, dots, other
// punctuation, non-ASCII letters in UTF-8 and, once, nothing at all. Every name is a valid
// file name: no "/" and no NUL.
std::vector<proto::Preset> make_factory_presets();

// One of them; index 0 to 255.
proto::Preset make_factory_preset(int index);

} // namespace quillmar::standin
