// How two presets differ, field by field, as paths such as "osc[1].fine".
#pragma once

#include "preset.pb.h"

#include <QString>

#include <vector>

namespace quillmar::cli {

struct field_change {
    enum class kind { added, deleted, modified };
    kind what = kind::modified;
    // The field's path from the preset: names joined by ".", a repeated field's element as
    // [index].
    QString path;
    // The values in text form; empty on the side that lacks the field.
    QString before;
    QString after;
};

// Every field that differs between `a` and `b`; empty when they are equal. A field set to
// its default value counts as different from one that is not set.
std::vector<field_change> preset_changes(const proto::Preset& a, const proto::Preset& b);

// "added", "deleted" or "modified".
QString change_name(field_change::kind what);

} // namespace quillmar::cli
