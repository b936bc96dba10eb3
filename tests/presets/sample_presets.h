// Presets with known text forms, shared by the file tests (golden files) and the model tests.
#pragma once

#include "preset.pb.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace samples {

// Deprecated fields still travel between synthesizer and files; their generated accessors are
// marked deprecated, so the samples set them through reflection.
inline void set_deprecated(google::protobuf::Message& message, const char* field, float value) {
    message.GetReflection()->SetFloat(&message, message.GetDescriptor()->FindFieldByName(field),
                                      value);
}

inline void set_deprecated(google::protobuf::Message& message, const char* field,
                           std::uint32_t value) {
    message.GetReflection()->SetUInt32(&message, message.GetDescriptor()->FindFieldByName(field),
                                       value);
}

// Every message type of the schema, repeated fields with several elements, enums, negative
// numbers, deprecated fields and fields set to their default values.
// Every field of an Fx1Preset, set in declaration order (which is not number order).
inline void fill_fx1(proto::Fx1Preset& fx1) {
    fx1.set_input_distortions_gain(0.6f);
    fx1.set_input_distortions_level(1.0f);
    fx1.set_input_decimator_rate(0.2f);
    fx1.set_input_decimator_bit(8.0f);
    fx1.set_input_mix(0.5f);
    fx1.set_input_cut(0.0f);
    fx1.set_input_res(0.1f);
    fx1.set_type(proto::Fx1Preset::decimator);
    fx1.set_distortion_type(proto::Fx1Preset::binary_shred);
    set_deprecated(fx1, "input_param1", 1.5f);
    set_deprecated(fx1, "input_param2", 2.5f);
    set_deprecated(fx1, "input_ffm", 3.5f);
}

inline proto::Preset full() {
    proto::Preset p;
    p.set_id(77);
    p.set_name("Full Pad");

    auto* vca = p.mutable_vca_eg();
    vca->set_input_time(0.25f);
    vca->set_input_attack(0.5f);
    vca->set_input_decay(0.75f);
    vca->set_input_sustain(1.0f);
    vca->set_input_release(0.125f);
    p.mutable_vcf_eg()->set_input_attack(0.0f);

    auto* m1 = p.mutable_modulator1();
    m1->set_input_lfo_rate(0.3f);
    m1->add_step_sequencer_levels(0.5f);
    m1->add_step_sequencer_levels(-1.0f);
    m1->add_step_sequencer_levels(0.0f);
    m1->mutable_destination_levels()->set_vco_level(0.1f);
    m1->mutable_destination_levels()->set_fx3_level(0.9f);
    m1->set_mode(proto::ModulatorPreset::step_sequencer);
    m1->set_sync_type(proto::ModulatorPreset::bpm_key_reset);
    p.mutable_modulator2()->set_mode(proto::ModulatorPreset::envelope);
    p.mutable_modulator3()->set_input_level(2.0f);

    p.mutable_mod_wheel()->mutable_destination_levels()->set_cut_level(0.4f);
    p.mutable_velocity()->mutable_destination_levels()->set_vca_level(1.0f);
    p.mutable_aftertouch()->mutable_destination_levels();
    p.mutable_key_track()->mutable_destination_levels()->set_fx3_level(-0.5f);
    p.mutable_pitch_wheel()->set_semitones(-12);
    p.mutable_cc2()->mutable_destination_levels()->set_delay_level(0.2f);

    fill_fx1(*p.mutable_fx1());

    auto* fx2 = p.mutable_fx2();
    fx2->set_input_phaser_speed(0.5f);
    fx2->set_input_mix(0.35f);
    fx2->set_type(proto::Fx2Preset::pitch_shifter);

    auto* fx3 = p.mutable_fx3();
    fx3->set_input_delay_damp(0.3f);
    fx3->set_type(proto::Fx3Preset::cloud_reverb);
    fx3->set_sync_type(proto::Fx3Preset::free);
    fx3->set_input_cloud_reverb_grains(0.7f);
    set_deprecated(*fx3, "input_damp", 0.2f);

    auto* seq = p.mutable_sequencer();
    seq->set_input_divisions(4.0f);
    seq->set_bpm(120);
    auto* n1 = seq->add_note_settings();
    n1->set_gate(0.5f);
    n1->set_velocity(1.0f);
    n1->set_octave_index(3);
    n1->set_semitone_index(11);
    seq->add_note_settings()->set_gate(0.25f);
    seq->set_step_count(16);
    set_deprecated(*seq, "step", std::uint32_t{2});

    auto* settings = p.mutable_settings();
    settings->set_input_glide(0.05f);
    settings->set_input_vco_levels(0.8f);
    settings->set_input_filter_key_track(0.6f);
    settings->set_input_vca_level(1.0f);

    p.mutable_vcos()->set_input_waveform(0.45f);
    p.mutable_vcf()->set_input_cutoff(0.65f);
    p.set_legato(true);
    return p;
}

inline proto::Preset only_id() {
    proto::Preset p;
    p.set_id(3);
    return p;
}

// UTF-8 name: "Épée ☃".
inline proto::Preset non_ascii_name() {
    proto::Preset p;
    p.set_id(130);
    p.set_name("\xc3\x89p\xc3\xa9"
               "e \xe2\x98\x83");
    return p;
}

// Floats whose shortest exact text needs nine significant digits, and the special values.
inline proto::Preset nine_digit_floats() {
    proto::Preset p;
    p.set_id(200);
    p.set_name("Digits");
    auto* env = p.mutable_vca_eg();
    env->set_input_time(0.123456791f);                        // not "0.123457"
    env->set_input_attack(1.00000012f);                       // next float after 1
    env->set_input_decay(-std::numeric_limits<float>::max()); // -3.40282347e+38
    env->set_input_sustain(std::numeric_limits<float>::infinity());
    env->set_input_release(std::numeric_limits<float>::quiet_NaN());
    p.mutable_vcf_eg()->set_input_time(0.7f); // six digits suffice
    p.mutable_vcf_eg()->set_input_attack(std::numeric_limits<float>::denorm_min());
    return p;
}

} // namespace samples
