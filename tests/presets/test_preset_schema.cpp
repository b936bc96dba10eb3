// The preset schema as the synthesizer sees it: defaults, presence, wire form, text order.
#include "preset.pb.h"
#include "preset_text.h"
#include "sample_presets.h"

#include <QtTest>

#include <string>
#include <vector>

Q_DECLARE_METATYPE(proto::Preset)

namespace {

proto::Preset with_id(std::uint32_t id) {
    proto::Preset p;
    p.set_id(id);
    return p;
}

QByteArray wire(const proto::Preset& p) {
    std::string bytes;
    p.SerializePartialToString(&bytes);
    return QByteArray::fromStdString(bytes);
}

} // namespace

class test_preset_schema : public QObject {
    Q_OBJECT

private slots:
    void unset_float_reads_its_default_data();
    void unset_float_reads_its_default();
    void unset_fields_read_zero_values();
    void field_set_to_its_default_is_written_data();
    void field_set_to_its_default_is_written();
    void repeated_float_is_one_tag_per_element();
    void text_lists_fields_in_number_order();
};

void test_preset_schema::unset_float_reads_its_default_data() {
    QTest::addColumn<float>("actual");
    QTest::addColumn<float>("expected");
    QTest::newRow("fx1 distortions level defaults to 1")
        << proto::Fx1Preset().input_distortions_level() << 1.0f;
    QTest::newRow("fx1 cut has the explicit default 0") << proto::Fx1Preset().input_cut() << 0.0f;
    QTest::newRow("fx2 phaser feedback defaults to 1")
        << proto::Fx2Preset().input_phaser_feedback() << 1.0f;
    QTest::newRow("fx2 phaser speed defaults to 0.5")
        << proto::Fx2Preset().input_phaser_speed() << 0.5f;
    QTest::newRow("fx2 pitch shifter left defaults to 0.7")
        << proto::Fx2Preset().input_pitch_shifter_left_semitones() << 0.7f;
    QTest::newRow("fx3 light reverb feed defaults to 0.4")
        << proto::Fx3Preset().input_light_reverb_feed() << 0.4f;
    QTest::newRow("fx3 cloud reverb grains defaults to 0.7")
        << proto::Fx3Preset().input_cloud_reverb_grains() << 0.7f;
    QTest::newRow("settings vca level defaults to 1")
        << proto::SettingsPreset().input_vca_level() << 1.0f;
    QTest::newRow("envelope time has no default") << proto::EnvelopePreset().input_time() << 0.0f;
    QTest::newRow("fx2 mix has no default") << proto::Fx2Preset().input_mix() << 0.0f;
}

void test_preset_schema::unset_float_reads_its_default() {
    QFETCH(float, actual);
    QFETCH(float, expected);
    QVERIFY2(actual == expected, qPrintable(QString::number(double(actual))));
}

void test_preset_schema::unset_fields_read_zero_values() {
    const proto::Preset p;
    std::vector<const google::protobuf::FieldDescriptor*> set;
    p.GetReflection()->ListFields(p, &set);
    QVERIFY(set.empty());
    QCOMPARE(p.id(), 0u);
    QCOMPARE(p.name(), std::string());
    QCOMPARE(p.legato(), false);
    QCOMPARE(p.pitch_wheel().semitones(), 0);
    QCOMPARE(p.fx3().sync_type(), proto::Fx3Preset::free);
    QCOMPARE(p.modulator1().mode(), proto::ModulatorPreset::envelope);
    QCOMPARE(p.sequencer().bpm(), 0u);
}

void test_preset_schema::field_set_to_its_default_is_written_data() {
    QTest::addColumn<proto::Preset>("preset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("text");

    proto::Preset p = with_id(1);
    p.mutable_fx1()->set_input_distortions_level(1.0f);
    QTest::newRow("fx1 distortions level 1")
        << p
        << QByteArray::fromHex("0801"        // id 1
                               "7205"        // fx1, 5 bytes
                               "3d0000803f") // input_distortions_level (7, fixed32) 1.0
        << QByteArray("id: 1\nfx1 {\n  input_distortions_level: 1\n}\n");

    p = with_id(1);
    p.mutable_fx3()->set_sync_type(proto::Fx3Preset::free);
    QTest::newRow("fx3 sync type free") << p
                                        << QByteArray::fromHex("0801"   // id 1
                                                               "820102" // fx3 (16), 2 bytes
                                                               "6000")  // sync_type (12, varint) 0
                                        << QByteArray("id: 1\nfx3 {\n  sync_type: free\n}\n");

    p = with_id(1);
    p.mutable_settings()->set_input_vca_level(1.0f);
    QTest::newRow("settings vca level 1")
        << p
        << QByteArray::fromHex("0801"        // id 1
                               "920105"      // settings (18), 5 bytes
                               "2d0000803f") // input_vca_level (5, fixed32) 1.0
        << QByteArray("id: 1\nsettings {\n  input_vca_level: 1\n}\n");

    p = with_id(1);
    p.set_legato(false);
    QTest::newRow("legato false") << p
                                  << QByteArray::fromHex("0801"    // id 1
                                                         "a80100") // legato (21, varint) 0
                                  << QByteArray("id: 1\nlegato: false\n");

    p = with_id(0);
    p.set_name("");
    QTest::newRow("id 0 and the empty name") << p
                                             << QByteArray::fromHex("0800"  // id 0
                                                                    "1200") // name, 0 bytes
                                             << QByteArray("id: 0\nname: \"\"\n");
}

void test_preset_schema::field_set_to_its_default_is_written() {
    QFETCH(proto::Preset, preset);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, text);
    QCOMPARE(wire(preset).toHex(), bytes.toHex());
    QCOMPARE(QByteArray::fromStdString(print_preset(preset)), text);
}

void test_preset_schema::repeated_float_is_one_tag_per_element() {
    proto::Preset p = with_id(1);
    auto* levels = p.mutable_modulator1()->mutable_step_sequencer_levels();
    levels->Add(0.5f);
    levels->Add(1.0f);
    levels->Add(-1.0f);
    const QByteArray expected = QByteArray::fromHex("0801"       // id 1
                                                    "2a0f"       // modulator1 (5), 15 bytes
                                                    "7d0000003f" // level (15, fixed32) 0.5
                                                    "7d0000803f" // level 1.0
                                                    "7d000080bf" // level -1.0
    );
    QCOMPARE(wire(p).toHex(), expected.toHex());

    proto::Preset back;
    QVERIFY(back.ParseFromString(expected.toStdString()));
    QCOMPARE(back.modulator1().step_sequencer_levels_size(), 3);
}

void test_preset_schema::text_lists_fields_in_number_order() {
    proto::Preset p = with_id(9);
    // Set in declaration order; printed in number order.
    samples::fill_fx1(*p.mutable_fx1());
    p.set_legato(true);
    p.set_name("N");
    QCOMPARE(QByteArray::fromStdString(print_preset(p)),
             QByteArray("id: 9\n"
                        "name: \"N\"\n"
                        "fx1 {\n"
                        "  input_param1: 1.5\n"
                        "  input_param2: 2.5\n"
                        "  input_ffm: 3.5\n"
                        "  type: decimator\n"
                        "  distortion_type: binary_shred\n"
                        "  input_distortions_gain: 0.6\n"
                        "  input_distortions_level: 1\n"
                        "  input_decimator_rate: 0.2\n"
                        "  input_decimator_bit: 8\n"
                        "  input_mix: 0.5\n"
                        "  input_cut: 0\n"
                        "  input_res: 0.1\n"
                        "}\n"
                        "legato: true\n"));
}

QTEST_GUILESS_MAIN(test_preset_schema)
#include "test_preset_schema.moc"
