#pragma once

// A preset with every field of the schema set, so payloads span several parser chunks.

#include "preset.pb.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cstdint>
#include <string>

namespace link_test {

inline void fill_every_field(google::protobuf::Message& message, std::uint32_t seed) {
    using google::protobuf::FieldDescriptor;
    const auto* descriptor = message.GetDescriptor();
    const auto* reflection = message.GetReflection();
    for (int i = 0; i < descriptor->field_count(); ++i) {
        const FieldDescriptor* field = descriptor->field(i);
        const std::uint32_t value = seed * 31u + static_cast<std::uint32_t>(i);
        if (field->is_repeated()) {
            continue; // the schema has no repeated fields worth filling here
        }
        switch (field->cpp_type()) {
        case FieldDescriptor::CPPTYPE_MESSAGE:
            fill_every_field(*reflection->MutableMessage(&message, field), value);
            break;
        case FieldDescriptor::CPPTYPE_FLOAT:
            reflection->SetFloat(&message, field, static_cast<float>(value % 1000) / 7.0f);
            break;
        case FieldDescriptor::CPPTYPE_DOUBLE:
            reflection->SetDouble(&message, field, static_cast<double>(value) / 3.0);
            break;
        case FieldDescriptor::CPPTYPE_INT32:
            reflection->SetInt32(&message, field, -static_cast<std::int32_t>(value % 100));
            break;
        case FieldDescriptor::CPPTYPE_UINT32:
            reflection->SetUInt32(&message, field, value % 256);
            break;
        case FieldDescriptor::CPPTYPE_INT64:
            reflection->SetInt64(&message, field, -static_cast<std::int64_t>(value));
            break;
        case FieldDescriptor::CPPTYPE_UINT64:
            reflection->SetUInt64(&message, field, value);
            break;
        case FieldDescriptor::CPPTYPE_BOOL:
            reflection->SetBool(&message, field, value % 2 == 1);
            break;
        case FieldDescriptor::CPPTYPE_STRING:
            reflection->SetString(&message, field, "PRESET " + std::to_string(value % 100));
            break;
        case FieldDescriptor::CPPTYPE_ENUM: {
            const auto* type = field->enum_type();
            reflection->SetEnum(&message, field,
                                type->value(static_cast<int>(value) % type->value_count()));
            break;
        }
        }
    }
}

inline proto::Preset full_preset(std::uint32_t id) {
    proto::Preset preset;
    fill_every_field(preset, id);
    preset.set_id(id);
    preset.set_name("FULL " + std::to_string(id));
    return preset;
}

} // namespace link_test
