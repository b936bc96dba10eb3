// Preset text files of a backup folder: names, bank folders, writing and reading.
//
// A backup folder holds the bank folders "BANK A" to "BANK D"; each preset lies in one file
// "NNN.name.txt" (NNN its `id`, at least three digits) holding its text form.
#pragma once

#include "preset.pb.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

class QFile;
class QSaveFile;

// Banks of the synthesizer: four of 64 presets; a preset's `id` is bank * 64 + place.
inline constexpr unsigned bank_count = 4;
inline constexpr unsigned bank_size = 64;
static_assert(bank_count * bank_size == 256, "The synthesizer holds 256 presets in its banks.");

// The bank folders of a backup folder, bank 0 to 3.
inline constexpr std::array<const char*, bank_count> bank_folder_names{"BANK A", "BANK B", "BANK C",
                                                                       "BANK D"};

// The largest preset the tool handles, both as a preset file and as the serialized bytes sent
// to the synthesizer. A preset is a few kilobytes; a larger file is taken as damaged and never
// read whole, and a larger preset is never sent.
inline constexpr std::size_t max_preset_size = std::size_t{1024} * 1024;
static_assert(max_preset_size >= std::size_t{64} * 1024,
              "The preset size limit leaves ample room for every preset the schema can hold.");

// Longest file name the file systems take, in bytes of UTF-8.
inline constexpr std::size_t max_file_name_bytes = 255;
// Longest "NNN." + ".txt" frame around a name: ten digits of a 32-bit id and five more bytes.
inline constexpr std::size_t max_file_name_frame_bytes = 10 + 5;
static_assert(max_file_name_frame_bytes < max_file_name_bytes,
              "Every preset id must leave room in a file name.");

// The bank folder of a preset by its `id`: "BANK A" for 0-63 ... "BANK D" for 192 and up.
QString preset_bank_folder(std::uint32_t id);

// The file name of a preset: `id` zero-padded to three digits, ".", the name, ".txt".
// Names are used verbatim (spaces, dots, non-ASCII letters, the empty name) unless that would
// not give one safe file name: "/", "\" and control characters become "_", and a name too long
// for the file system is cut at a character boundary.
QString preset_file_name(const proto::Preset& preset);

// As above with the number part given: "<number>.<name>.txt".
QString preset_file_name(const QString& number, const std::string& name);

// backup_folder / bank folder by `id` / file name.
QString preset_file_path(const QString& backup_folder, const proto::Preset& preset);

// True when `file_name` is one plain entry of a folder: not empty, not "." or "..", no
// separator or control character, at most max_file_name_bytes of UTF-8. Every writer checks
// the name of its target with it.
bool is_safe_file_name(const QString& file_name);

// Writes `bytes` as the whole new content of `path`, all or nothing: the text goes to a
// temporary file beside the target that replaces it only once complete, so a failed write
// leaves the old content (or no file). Refuses a target that is a symbolic link or whose name
// is not safe. On failure writes "Unable to open" to the debug log and returns false.
bool write_whole_file(const QString& path, const QByteArray& bytes);

// Opens `file` and writes `bytes` into its temporary file, checking that all of them reached
// it; commit() then puts them in place. On failure the writing is cancelled and false returned.
bool stage_whole_file(QSaveFile& file, const QByteArray& bytes);

// Prints the preset and writes it to `path` (composed by the caller). False on failure.
bool preset_to_file(proto::Preset& preset, QString& path);

// An open file descriptor of the system, closed when it goes.
class file_descriptor {
public:
    explicit file_descriptor(int fd) : fd_(fd) {}
    file_descriptor(file_descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    file_descriptor& operator=(file_descriptor&&) = delete;
    ~file_descriptor();
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// Outcome of reading one preset file.
struct preset_read {
    proto::Preset preset;
    // The whole text was read and carries `id`; a preset that is not intact must not be sent
    // to the synthesizer.
    bool intact = false;
};

// Reads the whole file (local 8-bit text, handed on as UTF-8) and parses it. Only a regular
// file is read: the result is empty when the file cannot be opened or is anything else (a
// symbolic link, even to a regular file, a folder, a FIFO, a device). Links are not followed
// and nothing blocks. A file larger than max_preset_size is not read: the result is an empty
// preset that is not intact. Otherwise the preset holds whatever was parsed.
std::optional<preset_read> read_preset_file(QFile& file);

// As read_preset_file for the entry `name` (raw bytes, as the folder lists it) of the folder
// open as `folder_fd`.
std::optional<preset_read> read_preset_file_at(int folder_fd, const char* name);

// As read_preset_file, returning the preset only; writes "open" to the debug log once the
// file is open.
std::optional<proto::Preset> preset_from_text(QFile& file);

// Makes a file's content agree with its name "NNN.name[.more].txt": `id` becomes NNN read as
// a decimal number (0 when it is not one), `name` the part after the first ".". Every other
// field stays as parsed. A name without "." has no name part: the file is left as it is, as
// is a file that cannot be opened for reading and writing, is no regular file or is larger
// than max_preset_size.
void preset_rename(QFile& file);
