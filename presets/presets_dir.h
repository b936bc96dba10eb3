// The in-memory model of one backup folder and its editing operations.
#pragma once

#include "preset.pb.h"
#include "preset_files.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One backup folder: per bank, the presets read from the bank folder's files in file-name
// order, and a handle naming each file. The bank comes from the folder's name: "BANK A" to
// "BANK D", letters in either case, are banks 0 to 3; other folders are not loaded, nor are
// links to folders. Only regular files are read (never through a link, never more than
// max_preset_size bytes); the other entries of a bank folder are counted as left out.
//
// For every bank b, presets[b] and files[b] have the same length and correspond place by
// place. The editing operations change the model and the files on disk together. They never
// write one preset's file over another's, never delete a file another entry still names, and
// never rewrite a file that was not read completely (that would drop what the reader could
// not understand). A bank or place out of range is the caller's error: it asserts in debug
// builds and changes nothing in release builds.
class preset_dir {
public:
    // A place meaning "the end of the bank" where an operation says so.
    static constexpr unsigned end_place = 4294967295u;
    // Taken as the end by insert as well.
    static constexpr unsigned end_place_alias = 4294967294u;

    // Builds the model of the folder at `path` (created, one level, if missing) and loads it.
    explicit preset_dir(QString path);
    preset_dir(const preset_dir&) = delete;
    preset_dir& operator=(const preset_dir&) = delete;
    ~preset_dir() = default;

    // Forgets everything loaded and loads the folder again (without creating it).
    void update();

    QString dirName() const;
    QString dirPath() const;

    proto::Preset get_preset(unsigned bank, unsigned index) const;
    // The name of the preset, or "" when `index` is past the end of the bank.
    std::string get_name(unsigned bank, unsigned index) const;

    // True when the entry's file was read completely and carries an `id`; the restore sends
    // only such presets. Entries the editing operations write are intact.
    bool is_intact(unsigned bank, unsigned index) const;
    // Entries of the bank folders that will not be restored: the entries that are not intact
    // (a file over max_preset_size among them), and what loading left out of the model: links,
    // FIFOs, devices and other entries that are no regular files, files that could not be
    // opened and files whose name is not UTF-8. Sub-folders and hidden entries do not count.
    std::size_t left_out_count() const;

    // Reads one preset file (see read_preset_file); empty when it cannot be opened or is no
    // regular file.
    static std::optional<proto::Preset> preset_from_text(QFile& file);
    // Writes `preset` into `folder` / bank folder by its `id` / its file name and points the
    // handle at bank/index to that file. False (and the model unchanged) when the file cannot
    // be written or is another entry's file.
    bool preset_to_text(proto::Preset& preset, QString folder, unsigned bank, unsigned index);
    // "BANK A" to "BANK D" for 0 to 3, "BAD BANK" for anything else.
    static std::string bank_to_string(unsigned bank);

    // Gives the preset a new name and moves its file to the new file name.
    void rename_by_index(unsigned bank, unsigned place, std::string name);
    // Deletes the first preset (bank A first, each from place 0) named exactly `name`.
    void delete_by_name(std::string name);
    void delete_by_index(unsigned bank, unsigned place);
    // As delete_by_index, and logs the file name.
    void erase(unsigned bank, unsigned place);
    // Copies the file into the backup folder itself (never replacing a file there).
    void copy_file(QFile* file);
    // Appends the preset with the `id` of the bank's next slot and writes its file.
    void push_back_draft(proto::Preset& preset, unsigned bank);
    // Inserts the preset at (at_place) or after (!at_place) `place` with that slot's `id` and
    // writes its file; later presets move up a place and keep their ids and files.
    void insert(proto::Preset& preset, unsigned bank, unsigned place, bool at_place);
    // Model only, one half each: a copy of the preset / a handle naming `path` at place + 1.
    void insert_after(unsigned bank, unsigned place, proto::Preset& preset);
    void insert_after(unsigned bank, unsigned place, QString& path);
    // Appends the preset unchanged with a copy of its file in the backup folder itself,
    // named "<id>.<name>.txt".
    void push_back(proto::Preset preset, QFile* source, unsigned bank);
    // Renumbers the bank: every preset whose `id` is not bank * 64 + place gets that id and a
    // file named after it, in the bank folder the new id selects.
    void reindex(unsigned bank);
    // Renumbers every bank, keeping each bank's files in its own bank folder.
    void reindex_all();
    // Moves a preset within a bank (to end_place: to the end). Nothing on disk changes.
    // Returns -1 when moved towards the end, 1 otherwise, 0 when out of range.
    int inner_move_presets(unsigned bank, unsigned from, unsigned to);

    std::array<std::vector<proto::Preset>, bank_count> presets;
    std::array<std::vector<std::unique_ptr<QFile>>, bank_count> files;
    QDir dir;

private:
    friend void move_presets_from_diffrent(preset_dir&, unsigned, unsigned, preset_dir&, unsigned,
                                           unsigned);

    // One entry to be written anew: its new content and its new file.
    struct rewrite {
        unsigned bank;
        std::size_t place;
        proto::Preset preset;
        QString path;
    };

    void load();
    void load_bank_folder(unsigned bank, int backup_fd, const QByteArray& folder_name);
    bool in_range(unsigned bank, std::size_t place, std::size_t past_end) const;
    QString standard_path(unsigned bank, const proto::Preset& preset) const;
    bool inside_folder(const QString& path) const;
    bool named_by_entry(const QString& path, const QFile* except) const;
    bool add_entry(proto::Preset& preset, unsigned bank, std::size_t place, const QString& path);
    void rewrite_files(const std::vector<rewrite>& plan);
    void replace_handle(unsigned bank, std::size_t place, const QString& path);
    void remove_entry(unsigned bank, std::size_t place);

    std::size_t unreadable_ = 0;
};

// Moves a preset and its handle from one model to another (to_place end_place: the end of
// the target bank). Nothing on disk changes; a later reindex of the target bank writes the
// preset into the target folder if its id does not fit its new place.
void move_presets_from_diffrent(preset_dir& from, unsigned from_bank, unsigned from_place,
                                preset_dir& to, unsigned to_bank, unsigned to_place);

// What a restore sends from a loaded backup folder, and what it leaves out.
struct restore_selection {
    // Files whose preset carries an `id` that an earlier file in sending order carries too:
    // the file that is sent and the files left out, each as bank folder / file name.
    struct clash {
        std::uint32_t id = 0;
        QString sent;
        QStringList left_out;
    };

    // In sending order (bank A to D, each bank in the model's order), one per `id`.
    std::vector<proto::Preset> presets;
    // Files left out as damaged: those the model counts as left out, and presets whose
    // serialized form is larger than max_preset_size.
    std::size_t damaged = 0;
    // In sending order of the first file each clash leaves out.
    std::vector<clash> clashes;

    // Files left out because their `id` clashes with an earlier file's.
    std::size_t clashing() const;
};

// Chooses the presets a restore sends: every intact preset small enough to send, in sending
// order, and of several presets with one `id` only the first.
restore_selection select_for_restore(const preset_dir& backup);
