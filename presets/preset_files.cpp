#include "preset_files.h"

#include "preset_text.h"
#include "vortan_log.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

constexpr int id_min_digits = 3;

// Characters a file name must not hold: separators, C0 and C1 control characters.
bool is_unsafe_char(QChar c) {
    const char16_t u = c.unicode();
    return u == u'/' || u == u'\\' || u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

// Bytes of UTF-8 of the code point starting at `text[i]`, and its length in code units.
std::pair<std::size_t, int> utf8_size_at(const QString& text, int i) {
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
        return {4, 2};
    }
    const char16_t u = c.unicode();
    return {u < 0x80 ? 1 : u < 0x800 ? 2 : 3, 1};
}

std::size_t utf8_size(const QString& text) {
    std::size_t bytes = 0;
    for (int i = 0; i < text.size();) {
        const auto [size, units] = utf8_size_at(text, i);
        bytes += size;
        i += units;
    }
    return bytes;
}

// Reads the whole of an open file as a preset text and closes it.
preset_read read_open_file(QFile& file) {
    const QByteArray bytes = file.readAll();
    const bool read_all = file.error() == QFileDevice::NoError;
    file.close();
    // The explicit size keeps NUL bytes, so the parser sees (and rejects) them.
    const std::string text = QString::fromLocal8Bit(bytes.constData(), bytes.size()).toStdString();
    preset_read result;
    result.intact = parse_preset_text(text, result.preset) && read_all;
    return result;
}

QString padded_id(std::uint32_t id) {
    return QStringLiteral("%1").arg(id, id_min_digits, 10, QLatin1Char('0'));
}

} // namespace

QString preset_bank_folder(std::uint32_t id) {
    const std::uint32_t bank = std::min<std::uint32_t>(id / bank_size, bank_count - 1);
    return QString::fromLatin1(bank_folder_names[bank]);
}

QString preset_file_name(const QString& number, const std::string& name) {
    const QString prefix = number + QLatin1Char('.');
    const QString suffix = QStringLiteral(".txt");
    const std::size_t frame = utf8_size(prefix) + utf8_size(suffix);
    const std::size_t budget = frame < max_file_name_bytes ? max_file_name_bytes - frame : 0;

    const QString decoded = QString::fromStdString(name);
    QString safe;
    safe.reserve(decoded.size());
    std::size_t bytes = 0;
    for (int i = 0; i < decoded.size();) {
        const auto [size, units] = utf8_size_at(decoded, i);
        if (bytes + size > budget) {
            break;
        }
        bytes += size;
        for (int k = 0; k < units; ++k) {
            const QChar c = decoded.at(i + k);
            safe += is_unsafe_char(c) ? QChar(u'_') : c;
        }
        i += units;
    }
    return prefix + safe + suffix;
}

QString preset_file_name(const proto::Preset& preset) {
    return preset_file_name(padded_id(preset.id()), preset.name());
}

QString preset_file_path(const QString& backup_folder, const proto::Preset& preset) {
    return backup_folder + QDir::separator() + preset_bank_folder(preset.id()) + QDir::separator() +
           preset_file_name(preset);
}

bool is_safe_file_name(const QString& file_name) {
    if (file_name.isEmpty() || file_name == QLatin1String(".") ||
        file_name == QLatin1String("..")) {
        return false;
    }
    if (std::any_of(file_name.begin(), file_name.end(), is_unsafe_char)) {
        return false;
    }
    return utf8_size(file_name) <= max_file_name_bytes;
}

bool stage_whole_file(QSaveFile& file, const QByteArray& bytes) {
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    // QSaveFile::commit does not notice a flush that wrote only part of the buffer (a full
    // disk, a file size limit), so the flush is checked here.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return true;
}

bool write_whole_file(const QString& path, const QByteArray& bytes) {
    const QFileInfo target(path);
    bool written = false;
    // QSaveFile writes through a symbolic link to wherever it points; a link in a backup
    // folder is refused instead.
    if (is_safe_file_name(target.fileName()) && !target.isSymLink()) {
        QSaveFile file(path);
        written = stage_whole_file(file, bytes) && file.commit();
    }
    if (!written) {
        qCDebug(quillmar::vortan_log) << "Unable to open";
    }
    return written;
}

bool preset_to_file(proto::Preset& preset, QString& path) {
    return write_whole_file(path, QByteArray::fromStdString(print_preset(preset)));
}

std::optional<preset_read> read_preset_file(QFile& file) {
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return read_open_file(file);
}

std::optional<proto::Preset> preset_from_text(QFile& file) {
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    qCDebug(quillmar::vortan_log) << "open";
    return read_open_file(file).preset;
}

void preset_rename(QFile& file) {
    const QStringList parts = QFileInfo(file.fileName()).fileName().split(QLatin1Char('.'));
    if (parts.size() < 2) {
        return;
    }
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
        return;
    }
    proto::Preset preset = read_open_file(file).preset;
    bool is_number = false;
    const std::uint32_t id = parts.at(0).toUInt(&is_number, 10);
    preset.set_id(is_number ? id : 0);
    preset.set_name(parts.at(1).toStdString());
    write_whole_file(file.fileName(), QByteArray::fromStdString(print_preset(preset)));
}
