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
#include <array>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Parses the bytes of a preset file. Read as local 8-bit text and handed on as UTF-8; the
// explicit size keeps NUL bytes, so the parser sees (and rejects) them. `complete` tells
// whether the bytes are the whole file.
preset_read parse_file_bytes(const QByteArray& bytes, bool complete) {
    const std::string text = QString::fromLocal8Bit(bytes.constData(), bytes.size()).toStdString();
    preset_read result;
    result.intact = parse_preset_text(text, result.preset) && complete;
    return result;
}

// Opens the entry `name` of the folder `folder_fd` when it is a regular file, and only then.
// The entry is looked at without following a link, so no FIFO or device is ever opened, and
// the open itself neither follows a link nor blocks; the open descriptor is checked again,
// since the entry may have been replaced in between.
file_descriptor open_regular(int folder_fd, const char* name, int access) {
    struct stat entry {};
    if (::fstatat(folder_fd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(entry.st_mode)) {
        return file_descriptor(-1);
    }
    file_descriptor fd(
        ::openat(folder_fd, name, access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat opened {};
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        return file_descriptor(-1);
    }
    return fd;
}

// Reads a regular file open as `fd` as a preset text. More than max_preset_size bytes are
// never read: such a file gives an empty preset that is not intact.
preset_read read_open_regular(const file_descriptor& fd) {
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || opened.st_size < 0 ||
        static_cast<std::uint64_t>(opened.st_size) > max_preset_size) {
        return {};
    }
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(opened.st_size));
    // One byte more than the cap shows a file that grew past it while it was read.
    std::array<char, 64 * 1024> chunk{};
    bool complete = true;
    while (true) {
        const std::size_t room = max_preset_size + 1 - static_cast<std::size_t>(bytes.size());
        const ssize_t got = ::read(fd.get(), chunk.data(), std::min(chunk.size(), room));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            complete = false;
            break;
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk.data(), static_cast<qsizetype>(got));
        if (static_cast<std::size_t>(bytes.size()) > max_preset_size) {
            return {};
        }
    }
    return parse_file_bytes(bytes, complete);
}

QByteArray encoded_path(const QFile& file) {
    return QFile::encodeName(file.fileName());
}

QString padded_id(std::uint32_t id) {
    return QStringLiteral("%1").arg(id, id_min_digits, 10, QLatin1Char('0'));
}

} // namespace

file_descriptor::~file_descriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

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

std::optional<preset_read> read_preset_file_at(int folder_fd, const char* name) {
    const file_descriptor fd = open_regular(folder_fd, name, O_RDONLY);
    if (!fd.valid()) {
        return std::nullopt;
    }
    return read_open_regular(fd);
}

std::optional<preset_read> read_preset_file(QFile& file) {
    return read_preset_file_at(AT_FDCWD, encoded_path(file).constData());
}

std::optional<proto::Preset> preset_from_text(QFile& file) {
    const file_descriptor fd = open_regular(AT_FDCWD, encoded_path(file).constData(), O_RDONLY);
    if (!fd.valid()) {
        return std::nullopt;
    }
    qCDebug(quillmar::vortan_log) << "open";
    return read_open_regular(fd).preset;
}

void preset_rename(QFile& file) {
    const QStringList parts = QFileInfo(file.fileName()).fileName().split(QLatin1Char('.'));
    if (parts.size() < 2) {
        return;
    }
    // Opened for reading and writing, so a file that cannot be rewritten is left alone.
    const file_descriptor fd = open_regular(AT_FDCWD, encoded_path(file).constData(), O_RDWR);
    if (!fd.valid()) {
        return;
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 ||
        static_cast<std::uint64_t>(opened.st_size) > max_preset_size) {
        return;
    }
    proto::Preset preset = read_open_regular(fd).preset;
    bool is_number = false;
    const std::uint32_t id = parts.at(0).toUInt(&is_number, 10);
    preset.set_id(is_number ? id : 0);
    preset.set_name(parts.at(1).toStdString());
    write_whole_file(file.fileName(), QByteArray::fromStdString(print_preset(preset)));
}
