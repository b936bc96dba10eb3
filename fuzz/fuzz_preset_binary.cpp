// Arbitrary bytes as a preset received from the synthesizer: parsed as the backup does,
// written to its file in a backup folder and read back. The file must lie in its bank folder
// under a safe name, read back completely when the preset has an id, keep every known field,
// and print the same again after a second round.
#include "preset_files.h"
#include "preset_fuzz_support.h"
#include "preset_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <google/protobuf/stubs/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using quillmar::fuzz::scratch_template;

[[noreturn]] void fail(const char* what) {
    quillmar::fuzz::fail("fuzz_preset_binary", what);
}

std::string known_fields_text(const proto::Preset& preset) {
    proto::Preset known = preset;
    known.DiscardUnknownFields();
    return print_preset(known);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quillmar::fuzz::silence_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QTemporaryDir folder(scratch_template());
    [[maybe_unused]] static const bool banks_made = [] {
        for (const char* bank : bank_folder_names) {
            QDir(folder.path()).mkdir(QString::fromLatin1(bank));
        }
        return true;
    }();

    proto::Preset received;
    received.ParseFromArray(data, static_cast<int>(size));

    QString path = preset_file_path(folder.path(), received);
    const QFileInfo target(path);
    if (target.absolutePath() != folder.path() + '/' + preset_bank_folder(received.id()) ||
        !is_safe_file_name(target.fileName())) {
        fail("a preset file lies outside its bank folder");
    }
    if (!preset_to_file(received, path)) {
        fail("a preset file could not be written");
    }

    QFile file(path);
    const std::optional<preset_read> read = read_preset_file(file);
    QFile::remove(path);
    if (!read) {
        fail("a written file could not be read");
    }
    if (read->intact != received.has_id()) {
        fail("a written preset did not read back completely");
    }
    if (known_fields_text(read->preset) != known_fields_text(received)) {
        fail("a known field changed on the way through the file");
    }
    const std::string printed = print_preset(read->preset);
    proto::Preset again;
    parse_preset_text(printed, again);
    if (print_preset(again) != printed) {
        fail("a preset read from its file printed differently the second time");
    }
    return 0;
}
