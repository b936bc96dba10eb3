// The text form of a preset: protobuf text format as TextFormat::PrintToString prints it.
#pragma once

#include "preset.pb.h"

#include <string>

// The preset as printed into its file: TextFormat::PrintToString with the printer's default
// settings (known fields by name in field-number order, fields of a newer schema by number).
std::string print_preset(const proto::Preset& preset);

// Parses a preset text into `preset` (cleared first). Fields a newer schema added, which the
// printer writes by number, are carried back into the unknown fields of the message they stand
// in, so serializing the preset again gives the synthesizer its bytes back. Everything else is
// read by the stock text parser, which stops at the first error and keeps what it read before.
// Returns true only when the whole text was read and `id` is present.
bool parse_preset_text(const std::string& text, proto::Preset& preset);
