// The presets a new stand-in holds: checked by walking the schema's descriptors, so a field
// added to the schema and left out by the generator shows up here.

#include "factory_presets.h"

#include <QtTest>

#include <google/protobuf/text_format.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

using google::protobuf::Descriptor;
using google::protobuf::EnumValueDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using quillmar::standin::make_factory_presets;

namespace {

using name_test = std::function<bool(const proto::Preset&)>;

// What the walk over all presets found.
struct census {
    std::set<const Descriptor*> messages;
    std::set<const FieldDescriptor*> set_fields;
    std::set<const FieldDescriptor*> long_lists; // repeated fields with three or more
    std::set<const FieldDescriptor*> at_default; // singular fields set to their default
    std::set<const EnumValueDescriptor*> enum_values;
    int nine_digit_floats = 0;
    int non_finite_floats = 0;
};

bool needs_nine_digits(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(value));
    return std::strtof(text, nullptr) != value;
}

void note_float(census& c, float value) {
    c.nine_digit_floats += needs_nine_digits(value) ? 1 : 0;
    c.non_finite_floats += std::isfinite(value) ? 0 : 1;
}

bool equals_default(const Message& m, const FieldDescriptor* f) {
    const auto* r = m.GetReflection();
    switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_FLOAT:
        return r->GetFloat(m, f) == f->default_value_float();
    case FieldDescriptor::CPPTYPE_UINT32:
        return r->GetUInt32(m, f) == f->default_value_uint32();
    case FieldDescriptor::CPPTYPE_INT32:
        return r->GetInt32(m, f) == f->default_value_int32();
    case FieldDescriptor::CPPTYPE_BOOL:
        return r->GetBool(m, f) == f->default_value_bool();
    case FieldDescriptor::CPPTYPE_ENUM:
        return r->GetEnum(m, f) == f->default_value_enum();
    case FieldDescriptor::CPPTYPE_STRING:
        return r->GetString(m, f) == f->default_value_string();
    default:
        return false;
    }
}

void walk(const Message& m, census& c) {
    const auto* r = m.GetReflection();
    c.messages.insert(m.GetDescriptor());
    std::vector<const FieldDescriptor*> fields;
    r->ListFields(m, &fields);
    for (const FieldDescriptor* f : fields) {
        c.set_fields.insert(f);
        if (f->is_repeated()) {
            const int n = r->FieldSize(m, f);
            if (n >= 3) {
                c.long_lists.insert(f);
            }
            for (int i = 0; i < n; ++i) {
                if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
                    walk(r->GetRepeatedMessage(m, f, i), c);
                } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_FLOAT) {
                    note_float(c, r->GetRepeatedFloat(m, f, i));
                } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_ENUM) {
                    c.enum_values.insert(r->GetRepeatedEnum(m, f, i));
                }
            }
            continue;
        }
        if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
            walk(r->GetMessage(m, f), c);
            continue;
        }
        if (f->cpp_type() == FieldDescriptor::CPPTYPE_FLOAT) {
            note_float(c, r->GetFloat(m, f));
        }
        if (f->cpp_type() == FieldDescriptor::CPPTYPE_ENUM) {
            c.enum_values.insert(r->GetEnum(m, f));
        }
        if (equals_default(m, f)) {
            c.at_default.insert(f);
        }
    }
}

// Every message type the schema file declares, nested ones included.
void schema_messages(const Descriptor* d, std::vector<const Descriptor*>& out) {
    out.push_back(d);
    for (int i = 0; i < d->nested_type_count(); ++i) {
        schema_messages(d->nested_type(i), out);
    }
}

std::vector<const Descriptor*> schema_messages() {
    std::vector<const Descriptor*> out;
    const auto* file = proto::Preset::descriptor()->file();
    for (int i = 0; i < file->message_type_count(); ++i) {
        schema_messages(file->message_type(i), out);
    }
    return out;
}

bool valid_utf8(const std::string& text) {
    const QString decoded = QString::fromStdString(text);
    return decoded.toStdString() == text && !decoded.contains(QChar::ReplacementCharacter);
}

} // namespace

Q_DECLARE_METATYPE(name_test)

class tst_factory_presets : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void every_message_and_field_is_set_somewhere();
    void every_enum_value_is_used();
    void every_list_holds_several_elements_somewhere();
    void every_singular_field_is_set_to_its_default_somewhere();
    void floats_need_nine_digits_but_stay_finite();
    void ids_follow_the_slots();
    void names_are_file_names();
    void names_vary_data();
    void names_vary();
    void presets_survive_the_binary_and_text_forms();
    void presets_are_the_same_every_time();

private:
    std::vector<proto::Preset> presets;
    census found;
};

void tst_factory_presets::initTestCase() {
    presets = make_factory_presets();
    QCOMPARE(int(presets.size()), 256);
    for (const auto& p : presets) {
        walk(p, found);
    }
}

void tst_factory_presets::every_message_and_field_is_set_somewhere() {
    for (const Descriptor* d : schema_messages()) {
        QVERIFY2(found.messages.contains(d), d->full_name().c_str());
        for (int i = 0; i < d->field_count(); ++i) {
            QVERIFY2(found.set_fields.contains(d->field(i)), d->field(i)->full_name().c_str());
        }
    }
}

void tst_factory_presets::every_enum_value_is_used() {
    for (const Descriptor* d : schema_messages()) {
        for (int i = 0; i < d->enum_type_count(); ++i) {
            const auto* e = d->enum_type(i);
            for (int v = 0; v < e->value_count(); ++v) {
                QVERIFY2(found.enum_values.contains(e->value(v)), e->value(v)->full_name().c_str());
            }
        }
    }
}

void tst_factory_presets::every_list_holds_several_elements_somewhere() {
    for (const Descriptor* d : schema_messages()) {
        for (int i = 0; i < d->field_count(); ++i) {
            if (d->field(i)->is_repeated()) {
                QVERIFY2(found.long_lists.contains(d->field(i)), d->field(i)->full_name().c_str());
            }
        }
    }
}

void tst_factory_presets::every_singular_field_is_set_to_its_default_somewhere() {
    // Presence without a difference in value: proto2 still writes such fields.
    for (const Descriptor* d : schema_messages()) {
        for (int i = 0; i < d->field_count(); ++i) {
            const FieldDescriptor* f = d->field(i);
            if (f->is_repeated() || f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE ||
                (f->number() == proto::Preset::kIdFieldNumber &&
                 d == proto::Preset::descriptor())) {
                continue;
            }
            QVERIFY2(found.at_default.contains(f), f->full_name().c_str());
        }
    }
}

void tst_factory_presets::floats_need_nine_digits_but_stay_finite() {
    QVERIFY(found.nine_digit_floats > 100);
    // NaN compares unequal to itself, which would make every comparison of a round trip fail.
    QCOMPARE(found.non_finite_floats, 0);
}

void tst_factory_presets::ids_follow_the_slots() {
    for (int i = 0; i < 256; ++i) {
        QVERIFY(presets[i].has_id());
        QCOMPARE(int(presets[i].id()), i);
        QVERIFY(presets[i].IsInitialized());
    }
}

void tst_factory_presets::names_are_file_names() {
    for (const auto& p : presets) {
        const std::string& name = p.name();
        QVERIFY2(name.find('/') == std::string::npos, name.c_str());
        QVERIFY2(name.find('\0') == std::string::npos, name.c_str());
        QVERIFY2(valid_utf8(name), name.c_str());
        // With "NNN." before and ".txt" after, a file name stays under 255 bytes.
        QVERIFY2(name.size() < 200, name.c_str());
    }
}

void tst_factory_presets::names_vary_data() {
    QTest::addColumn<name_test>("test");
    QTest::newRow("a space") << name_test(
        [](const proto::Preset& p) { return p.name().find(' ') != std::string::npos; });
    QTest::newRow("a dot") << name_test(
        [](const proto::Preset& p) { return p.name().find('.') != std::string::npos; });
    QTest::newRow("a non-ASCII letter") << name_test([](const proto::Preset& p) {
        return QString::fromStdString(p.name()).contains(QChar(0x00C9)); // É
    });
    QTest::newRow("a letter outside Latin") << name_test([](const proto::Preset& p) {
        const QString name = QString::fromStdString(p.name());
        return std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() > 0x2FF; });
    });
    QTest::newRow("an empty name")
        << name_test([](const proto::Preset& p) { return p.has_name() && p.name().empty(); });
    QTest::newRow("no name at all")
        << name_test([](const proto::Preset& p) { return !p.has_name(); });
    QTest::newRow("only the id") << name_test([](const proto::Preset& p) {
        return p.ByteSizeLong() == 2; // the tag and one varint byte
    });
}

void tst_factory_presets::names_vary() {
    QFETCH(name_test, test);
    QVERIFY(std::any_of(presets.begin(), presets.end(), test));
}

void tst_factory_presets::presets_survive_the_binary_and_text_forms() {
    for (const auto& p : presets) {
        const std::string bytes = p.SerializeAsString();
        proto::Preset from_bytes;
        QVERIFY(from_bytes.ParseFromString(bytes));
        QCOMPARE(from_bytes.SerializeAsString(), bytes);

        std::string text;
        QVERIFY(google::protobuf::TextFormat::PrintToString(p, &text));
        proto::Preset from_text;
        QVERIFY2(google::protobuf::TextFormat::ParseFromString(text, &from_text), text.c_str());
        QCOMPARE(from_text.SerializeAsString(), bytes);
    }
}

void tst_factory_presets::presets_are_the_same_every_time() {
    const auto again = make_factory_presets();
    std::set<std::string> distinct;
    for (int i = 0; i < 256; ++i) {
        QCOMPARE(again[i].SerializeAsString(), presets[i].SerializeAsString());
        distinct.insert(presets[i].SerializeAsString());
    }
    QCOMPARE(int(distinct.size()), 256);
}

QTEST_GUILESS_MAIN(tst_factory_presets)
#include "tst_factory_presets.moc"
