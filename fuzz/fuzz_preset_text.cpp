// Arbitrary bytes as a preset file: the reader must not crash, what it read must print to a
// complete text when it has an id, and that text must be a fixed point of print and read.
#include "preset_files.h"
#include "preset_fuzz_support.h"
#include "preset_text.h"
#include "presets_dir.h"

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
    quillmar::fuzz::fail("fuzz_preset_text", what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quillmar::fuzz::silence_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QTemporaryDir folder(scratch_template());
    const QString path = folder.path() + "/012.Lead.txt";
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            fail("cannot write the input file");
        }
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }

    QFile file(path);
    const std::optional<preset_read> read = read_preset_file(file);
    if (!read || !preset_dir::preset_from_text(file)) {
        fail("an existing file gave no preset");
    }

    // A group among the unknown fields prints like a nested message and reads back as one,
    // so the first round may change the text; from then on it must stay.
    proto::Preset once;
    if (parse_preset_text(print_preset(read->preset), once) != read->preset.has_id()) {
        fail("a printed preset did not read back completely");
    }
    const std::string printed = print_preset(once);
    proto::Preset twice;
    parse_preset_text(printed, twice);
    if (print_preset(twice) != printed) {
        fail("a printed preset read back differently");
    }

    // Renaming rewrites the file from what was read; the result is a complete preset text.
    preset_rename(file);
    const std::optional<preset_read> renamed = read_preset_file(file);
    if (!renamed || !renamed->intact || renamed->preset.id() != 12 ||
        renamed->preset.name() != "Lead") {
        fail("a renamed file does not carry its name");
    }
    return 0;
}
