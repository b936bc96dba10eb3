#include "preset_diff.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <QStringList>

#include <string>

namespace quillmar::cli {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
using field_path = std::vector<MessageDifferencer::SpecificField>;

QString path_text(const field_path& path) {
    QStringList parts;
    for (const MessageDifferencer::SpecificField& step : path) {
        QString part = step.field != nullptr
                           ? QString::fromStdString(step.field->name())
                           : QStringLiteral("(unknown %1)").arg(step.unknown_field_number);
        if (step.field != nullptr && step.field->is_repeated() && step.index >= 0) {
            part += QStringLiteral("[%1]").arg(step.index);
        }
        parts << part;
    }
    return parts.join(QLatin1Char('.'));
}

// The text form of the value the path's last field holds in `parent`, the message that
// holds that field (which the differencer hands its reporter); empty when it is not set.
QString value_text(const Message& parent, const field_path& path, bool new_side) {
    if (path.empty() || path.back().field == nullptr) {
        return QString();
    }
    const MessageDifferencer::SpecificField& step = path.back();
    const FieldDescriptor* field = step.field;
    if (field->containing_type() != parent.GetDescriptor()) {
        return QString();
    }
    const google::protobuf::Reflection* reflection = parent.GetReflection();
    const int index = new_side ? step.new_index : step.index;
    if (field->is_repeated() ? index < 0 || index >= reflection->FieldSize(parent, field)
                             : !reflection->HasField(parent, field)) {
        return QString();
    }
    google::protobuf::TextFormat::Printer printer;
    printer.SetSingleLineMode(true);
    // Names are shown as the user wrote them, not as escaped bytes.
    printer.SetUseUtf8StringEscaping(true);
    std::string text;
    printer.PrintFieldValueToString(parent, field, field->is_repeated() ? index : -1, &text);
    const QString value = QString::fromStdString(text).trimmed();
    // A message is shown whole, on one line, in braces.
    return field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE
               ? QStringLiteral("{ ") + value + QStringLiteral(" }")
               : value;
}

// Collects each difference the differencer reports.
class change_collector : public MessageDifferencer::Reporter {
public:
    explicit change_collector(std::vector<field_change>& changes) : changes(changes) {}

    void ReportAdded(const Message& /*a*/, const Message& b, const field_path& path) override {
        changes.push_back(
            {field_change::kind::added, path_text(path), QString(), value_text(b, path, true)});
    }
    void ReportDeleted(const Message& a, const Message& /*b*/, const field_path& path) override {
        changes.push_back(
            {field_change::kind::deleted, path_text(path), value_text(a, path, false), QString()});
    }
    void ReportModified(const Message& a, const Message& b, const field_path& path) override {
        // A message that differs is reported by its fields too.
        if (!path.empty() && path.back().field != nullptr &&
            path.back().field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            return;
        }
        changes.push_back({field_change::kind::modified, path_text(path),
                           value_text(a, path, false), value_text(b, path, true)});
    }

private:
    std::vector<field_change>& changes;
};

} // namespace

std::vector<field_change> preset_changes(const proto::Preset& a, const proto::Preset& b) {
    std::vector<field_change> changes;
    change_collector collector(changes);
    MessageDifferencer differencer;
    differencer.set_scope(MessageDifferencer::FULL);
    differencer.set_message_field_comparison(MessageDifferencer::EQUAL);
    differencer.ReportDifferencesTo(&collector);
    differencer.Compare(a, b);
    return changes;
}

QString change_name(field_change::kind what) {
    switch (what) {
    case field_change::kind::added:
        return QStringLiteral("added");
    case field_change::kind::deleted:
        return QStringLiteral("deleted");
    case field_change::kind::modified:
        break;
    }
    return QStringLiteral("modified");
}

} // namespace quillmar::cli
