# The preset data: preset files as text from disk, and binary presets from the synthesizer
# through the writer and back.
vortan_add_fuzzer(fuzz_preset_text SOURCES fuzz_preset_text.cpp LIBS vortan_presets)
vortan_add_fuzzer(fuzz_preset_binary SOURCES fuzz_preset_binary.cpp LIBS vortan_presets)
# The backup folder model on a generated folder tree.
vortan_add_fuzzer(fuzz_preset_dir SOURCES fuzz_preset_dir.cpp LIBS vortan_presets)
