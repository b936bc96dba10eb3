#include "presets_dir.h"

#include "preset_text.h"
#include "vortan_log.h"

#include <QDebug>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set on the handle of an entry whose file was not read completely. The mark travels with the
// handle, through moves within and between models.
constexpr const char* damaged_mark = "vortan_damaged";

constexpr const char* bad_bank_name = "BAD BANK";

// Absolute, with "." and ".." resolved, so two spellings of one path compare equal.
QString clean_path(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Names ordered as lower-cased strings, code unit by code unit.
void sort_ignoring_case(QStringList& names) {
    std::stable_sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const QString la = a.toLower();
        const QString lb = b.toLower();
        return la != lb ? la < lb : a < b;
    });
}

// The bank a folder name stands for: "BANK A" to "BANK D", each letter in either case. Any
// other folder (such as "__MACOSX" or "BANK E") is no bank folder.
std::optional<unsigned> bank_of_folder(const QByteArray& name) {
    const auto ascii_upper = [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    };
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        const QByteArray wanted(bank_folder_names[bank]);
        if (name.size() == wanted.size() &&
            std::equal(name.begin(), name.end(), wanted.begin(),
                       [&](char a, char b) { return ascii_upper(a) == b; })) {
            return bank;
        }
    }
    return std::nullopt;
}

// The names of the entries of an open folder as the system gives them, "." and ".." left out.
std::vector<QByteArray> entry_names(int folder_fd) {
    std::vector<QByteArray> names;
    // closedir closes the descriptor it was given, so it gets a copy.
    const int copy = ::fcntl(folder_fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return names;
    }
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        ::close(copy);
        return names;
    }
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

// A file name is used only when it is valid UTF-8 and a file handle can spell it again.
bool is_plain_name(const QByteArray& raw, const QString& decoded) {
    return QString::fromUtf8(raw).toUtf8() == raw && QFile::encodeName(decoded) == raw;
}

bool is_damaged(const QFile& handle) {
    return handle.property(damaged_mark).toBool();
}

std::uint32_t slot_number(unsigned bank, std::size_t place) {
    return static_cast<std::uint32_t>(bank * bank_size + place);
}

} // namespace

preset_dir::preset_dir(QString path) : dir(path) {
    if (!dir.exists()) {
        QDir().mkdir(path);
    }
    load();
}

void preset_dir::update() {
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        files[bank].clear();
        presets[bank].clear();
    }
    load();
}

void preset_dir::load() {
    unreadable_ = 0;
    const file_descriptor folder(
        ::open(QFile::encodeName(dirPath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) {
        return;
    }
    std::array<std::vector<QByteArray>, bank_count> bank_folders;
    for (const QByteArray& name : entry_names(folder.get())) {
        if (const std::optional<unsigned> bank = bank_of_folder(name)) {
            bank_folders[*bank].push_back(name);
        }
    }
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        // Two spellings of one bank ("BANK A", "bank a") both load into it, the first
        // spelling in byte order first.
        std::sort(bank_folders[bank].begin(), bank_folders[bank].end());
        for (const QByteArray& name : bank_folders[bank]) {
            load_bank_folder(bank, folder.get(), name);
        }
    }
}

// Loads the preset files of one bank folder into `bank`. Only regular files are read; what
// else lies in the folder (links, FIFOs, devices, names the system cannot spell) is counted as
// left out, sub-folders and hidden entries are passed over.
void preset_dir::load_bank_folder(unsigned bank, int backup_fd, const QByteArray& folder_name) {
    // A link named like a bank folder is not followed: it is no bank folder.
    const file_descriptor folder(::openat(backup_fd, folder_name.constData(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        return;
    }
    const QString folder_path = dirPath() + QDir::separator() + QFile::decodeName(folder_name);
    // The entry itself, never what a link points to. A sub-folder is no preset file.
    const auto is_folder = [&folder](const QByteArray& raw) {
        struct stat entry {};
        return ::fstatat(folder.get(), raw.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISDIR(entry.st_mode);
    };
    QStringList names;
    for (const QByteArray& raw : entry_names(folder.get())) {
        if (raw.startsWith('.') || is_folder(raw)) {
            continue;
        }
        const QString name = QFile::decodeName(raw);
        if (!is_plain_name(raw, name)) {
            qCDebug(quillmar::vortan_log).noquote()
                << "File name not readable:" << folder_path + QDir::separator() + name;
            ++unreadable_;
            continue;
        }
        names << name;
    }
    sort_ignoring_case(names);
    for (const QString& name : names) {
        const QByteArray raw = QFile::encodeName(name);
        const QString path = folder_path + QDir::separator() + name;
        struct stat entry {};
        if (::fstatat(folder.get(), raw.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(entry.st_mode)) {
            qCDebug(quillmar::vortan_log).noquote() << "Not a regular file:" << path;
            ++unreadable_;
            continue;
        }
        std::optional<preset_read> read = read_preset_file_at(folder.get(), raw.constData());
        if (!read) {
            // Left out of the model altogether, so banks and handles stay in step.
            qCDebug(quillmar::vortan_log).noquote() << "Unable to read" << path;
            ++unreadable_;
            continue;
        }
        auto handle = std::make_unique<QFile>(path);
        if (!read->intact) {
            if (static_cast<std::uint64_t>(entry.st_size) > max_preset_size) {
                qCDebug(quillmar::vortan_log).noquote() << "Too large for a preset:" << path;
            }
            handle->setProperty(damaged_mark, true);
        }
        files[bank].push_back(std::move(handle));
        presets[bank].push_back(std::move(read->preset));
    }
}

QString preset_dir::dirName() const {
    return dir.dirName();
}

QString preset_dir::dirPath() const {
    return dir.absolutePath();
}

bool preset_dir::in_range(unsigned bank, std::size_t place, std::size_t past_end) const {
    const bool valid = bank < bank_count && place < presets[bank].size() + past_end &&
                       place < files[bank].size() + past_end;
    Q_ASSERT_X(valid, "preset_dir", "bank or place out of range");
    if (!valid) {
        qCDebug(quillmar::vortan_log) << "Bank or place out of range:" << bank << place;
    }
    return valid;
}

proto::Preset preset_dir::get_preset(unsigned bank, unsigned index) const {
    const bool valid = bank < bank_count && index < presets[bank].size();
    Q_ASSERT_X(valid, "preset_dir", "bank or place out of range");
    if (!valid) {
        qCDebug(quillmar::vortan_log) << "Bank or place out of range:" << bank << index;
        return {};
    }
    return presets[bank][index];
}

std::string preset_dir::get_name(unsigned bank, unsigned index) const {
    if (bank >= bank_count) {
        Q_ASSERT_X(false, "preset_dir", "bank out of range");
        return {};
    }
    return index < presets[bank].size() ? presets[bank][index].name() : std::string();
}

bool preset_dir::is_intact(unsigned bank, unsigned index) const {
    return in_range(bank, index, 0) && !is_damaged(*files[bank][index]);
}

std::size_t preset_dir::left_out_count() const {
    std::size_t count = unreadable_;
    for (const auto& bank : files) {
        count += static_cast<std::size_t>(
            std::count_if(bank.begin(), bank.end(), [](const auto& f) { return is_damaged(*f); }));
    }
    return count;
}

std::optional<proto::Preset> preset_dir::preset_from_text(QFile& file) {
    std::optional<preset_read> read = read_preset_file(file);
    if (!read) {
        return std::nullopt;
    }
    return std::move(read->preset);
}

std::string preset_dir::bank_to_string(unsigned bank) {
    return bank < bank_count ? bank_folder_names[bank] : bad_bank_name;
}

QString preset_dir::standard_path(unsigned bank, const proto::Preset& preset) const {
    return dirPath() + QDir::separator() + QString::fromStdString(bank_to_string(bank)) +
           QDir::separator() + preset_file_name(preset);
}

// Whether the folder of `path` lies in the backup folder (after resolving links), so no
// link inside the backup folder can lead a write elsewhere.
bool preset_dir::inside_folder(const QString& path) const {
    const QString base = QFileInfo(dirPath()).canonicalFilePath();
    const QString folder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    return !base.isEmpty() && !folder.isEmpty() &&
           (folder == base || folder.startsWith(base + QLatin1Char('/')));
}

bool preset_dir::named_by_entry(const QString& path, const QFile* except) const {
    const QString wanted = clean_path(path);
    for (const auto& bank : files) {
        for (const auto& handle : bank) {
            if (handle.get() != except && clean_path(handle->fileName()) == wanted) {
                return true;
            }
        }
    }
    return false;
}

void preset_dir::replace_handle(unsigned bank, std::size_t place, const QString& path) {
    auto handle = std::make_unique<QFile>(path);
    if (is_damaged(*files[bank][place])) {
        handle->setProperty(damaged_mark, true);
    }
    files[bank][place] = std::move(handle);
}

// Takes the entry out of the model and deletes its file unless another entry names it.
void preset_dir::remove_entry(unsigned bank, std::size_t place) {
    const QString path = files[bank][place]->fileName();
    presets[bank].erase(presets[bank].begin() + static_cast<std::ptrdiff_t>(place));
    files[bank].erase(files[bank].begin() + static_cast<std::ptrdiff_t>(place));
    if (!named_by_entry(path, nullptr)) {
        QFile::remove(path);
    }
}

// Writes the file of a new entry and inserts preset and handle at `place`. A target that is
// another entry's file or any other existing file is refused like an unwritable one; then the
// model stays as it was.
bool preset_dir::add_entry(proto::Preset& preset, unsigned bank, std::size_t place,
                           const QString& path) {
    const bool free = !named_by_entry(path, nullptr) && !QFileInfo(path).exists() &&
                      !QFileInfo(path).isSymLink() && inside_folder(path);
    if (!free) {
        qCDebug(quillmar::vortan_log) << "Unable to open";
        return false;
    }
    if (!write_whole_file(path, QByteArray::fromStdString(print_preset(preset)))) {
        return false;
    }
    const auto at = static_cast<std::ptrdiff_t>(place);
    presets[bank].insert(presets[bank].begin() + at, preset);
    files[bank].insert(files[bank].begin() + at, std::make_unique<QFile>(path));
    return true;
}

bool preset_dir::preset_to_text(proto::Preset& preset, QString folder, unsigned bank,
                                unsigned index) {
    if (!in_range(bank, index, 0)) {
        return false;
    }
    const QString path = folder + QDir::separator() + preset_bank_folder(preset.id()) +
                         QDir::separator() + preset_file_name(preset);
    const QFile* own = files[bank][index].get();
    const bool own_file = clean_path(own->fileName()) == clean_path(path);
    const bool free = !named_by_entry(path, own) && (own_file || !QFileInfo(path).exists()) &&
                      inside_folder(path);
    if (!free) {
        qCDebug(quillmar::vortan_log) << "Unable to open";
        return false;
    }
    if (!write_whole_file(path, QByteArray::fromStdString(print_preset(preset)))) {
        return false;
    }
    replace_handle(bank, index, path);
    return true;
}

// Writes the entries of `plan` anew, as one step.
//
// An entry is written only where that loses nothing: its file was read completely, its new
// file lies in the backup folder, no entry outside the plan names the new file, no other
// planned entry gets the same one, and an existing file there is the old file of a planned
// entry (whose content is being written elsewhere). Dropping an entry from the plan can make
// another one's target unavailable, so this is repeated until nothing changes. The new texts
// then go to temporary files; only when all of them are written do they replace their
// targets, the model takes the new ids, names and handles, and the old files that no entry
// names any more are deleted. An entry that is not written keeps its id, name and file.
void preset_dir::rewrite_files(const std::vector<rewrite>& plan) {
    const std::size_t count = plan.size();
    std::vector<QString> targets(count);
    std::vector<QString> olds(count);
    std::vector<bool> planned(count, true);
    std::map<const QFile*, std::size_t> plan_of_handle;
    for (std::size_t i = 0; i < count; ++i) {
        const QFile* handle = files[plan[i].bank][plan[i].place].get();
        targets[i] = clean_path(plan[i].path);
        olds[i] = clean_path(handle->fileName());
        plan_of_handle[handle] = i;
        if (is_damaged(*handle)) {
            qCDebug(quillmar::vortan_log).noquote()
                << "Not rewritten, read incompletely:" << handle->fileName();
            planned[i] = false;
        } else if (!inside_folder(targets[i]) || QFileInfo(targets[i]).isSymLink()) {
            qCDebug(quillmar::vortan_log) << "Unable to open";
            planned[i] = false;
        }
    }

    std::vector<std::unique_ptr<QSaveFile>> staged(count);
    auto drop = [&](std::size_t i) {
        planned[i] = false;
        staged[i].reset();
        qCDebug(quillmar::vortan_log) << "Unable to open";
    };
    for (bool changed = true; changed;) {
        changed = false;
        // Files that stay where they are: those of every entry not (or no longer) planned.
        std::set<QString> staying;
        for (const auto& bank : files) {
            for (const auto& handle : bank) {
                const auto it = plan_of_handle.find(handle.get());
                if (it == plan_of_handle.end() || !planned[it->second]) {
                    staying.insert(clean_path(handle->fileName()));
                }
            }
        }
        std::map<QString, int> wanted;
        std::set<QString> replaceable;
        for (std::size_t i = 0; i < count; ++i) {
            if (planned[i]) {
                ++wanted[targets[i]];
                replaceable.insert(olds[i]);
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!planned[i]) {
                continue;
            }
            const bool free =
                staying.count(targets[i]) == 0 && wanted[targets[i]] == 1 &&
                (replaceable.count(targets[i]) != 0 || !QFileInfo(targets[i]).exists());
            if (!free) {
                drop(i);
                changed = true;
            }
        }
        if (changed) {
            continue;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!planned[i] || staged[i]) {
                continue;
            }
            auto file = std::make_unique<QSaveFile>(plan[i].path);
            if (!stage_whole_file(*file, QByteArray::fromStdString(print_preset(plan[i].preset)))) {
                drop(i);
                changed = true;
            } else {
                staged[i] = std::move(file);
            }
        }
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (planned[i] && !staged[i]->commit()) {
            drop(i);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (planned[i]) {
            presets[plan[i].bank][plan[i].place] = plan[i].preset;
            replace_handle(plan[i].bank, plan[i].place, plan[i].path);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (planned[i] && olds[i] != targets[i] && !named_by_entry(olds[i], nullptr)) {
            QFile::remove(olds[i]);
        }
    }
}

void preset_dir::rename_by_index(unsigned bank, unsigned place, std::string name) {
    if (!in_range(bank, place, 0)) {
        return;
    }
    proto::Preset renamed = presets[bank][place];
    renamed.set_name(std::move(name));
    rewrite_files({{bank, place, renamed, preset_file_path(dirPath(), renamed)}});
}

void preset_dir::delete_by_name(std::string name) {
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        for (std::size_t place = 0; place < presets[bank].size(); ++place) {
            if (presets[bank][place].name() == name) {
                qCDebug(quillmar::vortan_log).noquote()
                    << QStringLiteral("delete ") + QString::fromStdString(name);
                remove_entry(bank, place);
                return;
            }
        }
    }
    qCDebug(quillmar::vortan_log) << "No such file or preset name";
}

void preset_dir::delete_by_index(unsigned bank, unsigned place) {
    if (in_range(bank, place, 0)) {
        remove_entry(bank, place);
    }
}

void preset_dir::erase(unsigned bank, unsigned place) {
    if (!in_range(bank, place, 0)) {
        return;
    }
    const QString name = files[bank][place]->fileName();
    remove_entry(bank, place);
    qCDebug(quillmar::vortan_log).noquote() << "Erase :" << name;
}

void preset_dir::copy_file(QFile* file) {
    if (file == nullptr) {
        Q_ASSERT_X(false, "preset_dir", "no file to copy");
        return;
    }
    const QString name = QFileInfo(file->fileName()).fileName();
    qCDebug(quillmar::vortan_log).noquote() << name;
    if (is_safe_file_name(name)) {
        QFile::copy(file->fileName(), dirPath() + QDir::separator() + name);
    }
}

void preset_dir::push_back_draft(proto::Preset& preset, unsigned bank) {
    if (bank >= bank_count) {
        in_range(bank, 0, 1);
        return;
    }
    const std::size_t place = presets[bank].size();
    preset.set_id(slot_number(bank, place));
    const QString path = standard_path(bank, preset);
    qCDebug(quillmar::vortan_log).noquote() << "Insert:" << path;
    add_entry(preset, bank, place, path);
}

void preset_dir::insert(proto::Preset& preset, unsigned bank, unsigned place, bool at_place) {
    if (bank >= bank_count) {
        in_range(bank, place, 1);
        return;
    }
    const std::size_t length = presets[bank].size();
    std::size_t where = place;
    if (place == end_place || place == end_place_alias) {
        qCDebug(quillmar::vortan_log) << place << "crash val";
        where = length - 1; // no place at all in an empty bank: see below
    }
    if (length == 0) {
        where = 0;
        at_place = true;
    }
    if (!in_range(bank, where, at_place ? 1 : 0)) {
        return;
    }
    const std::size_t target = at_place ? where : where + 1;
    preset.set_id(slot_number(bank, target));
    add_entry(preset, bank, target, standard_path(bank, preset));
    if (!at_place) {
        qCDebug(quillmar::vortan_log) << "Inserted";
    }
}

void preset_dir::insert_after(unsigned bank, unsigned place, proto::Preset& preset) {
    if (bank >= bank_count || place >= presets[bank].size()) {
        Q_ASSERT_X(false, "preset_dir", "bank or place out of range");
        return;
    }
    presets[bank].insert(presets[bank].begin() + place + 1, preset);
}

void preset_dir::insert_after(unsigned bank, unsigned place, QString& path) {
    if (bank >= bank_count || place >= files[bank].size()) {
        Q_ASSERT_X(false, "preset_dir", "bank or place out of range");
        return;
    }
    files[bank].insert(files[bank].begin() + place + 1, std::make_unique<QFile>(path));
}

void preset_dir::push_back(proto::Preset preset, QFile* source, unsigned bank) {
    if (source == nullptr || bank >= bank_count) {
        Q_ASSERT_X(false, "preset_dir", "no source file or bank out of range");
        return;
    }
    const QString path = dirPath() + QDir::separator() +
                         preset_file_name(QString::number(preset.id()), preset.name());
    QFile::copy(source->fileName(), path);
    auto handle = std::make_unique<QFile>(path);
    if (!preset.has_id()) {
        handle->setProperty(damaged_mark, true);
    }
    presets[bank].push_back(std::move(preset));
    files[bank].push_back(std::move(handle));
}

void preset_dir::reindex(unsigned bank) {
    if (bank >= bank_count) {
        in_range(bank, 0, 1);
        return;
    }
    qCDebug(quillmar::vortan_log) << "REINDEX BANK:" << bank;
    std::vector<rewrite> plan;
    for (std::size_t place = 0; place < presets[bank].size(); ++place) {
        const std::uint32_t slot = slot_number(bank, place);
        if (presets[bank][place].id() != slot) {
            proto::Preset renumbered = presets[bank][place];
            renumbered.set_id(slot);
            plan.push_back({bank, place, renumbered, preset_file_path(dirPath(), renumbered)});
        }
    }
    rewrite_files(plan);
}

void preset_dir::reindex_all() {
    std::vector<rewrite> plan;
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        for (std::size_t place = 0; place < presets[bank].size(); ++place) {
            const std::uint32_t slot = slot_number(bank, place);
            if (presets[bank][place].id() != slot) {
                proto::Preset renumbered = presets[bank][place];
                renumbered.set_id(slot);
                const QString path = standard_path(bank, renumbered);
                qCDebug(quillmar::vortan_log).noquote() << path;
                plan.push_back({bank, place, renumbered, path});
            }
        }
    }
    rewrite_files(plan);
}

int preset_dir::inner_move_presets(unsigned bank, unsigned from, unsigned to) {
    if (!in_range(bank, from, 0)) {
        return 0;
    }
    const std::size_t target = to == end_place ? presets[bank].size() - 1 : to;
    if (!in_range(bank, target, 0)) {
        return 0;
    }
    proto::Preset preset = std::move(presets[bank][from]);
    std::unique_ptr<QFile> handle = std::move(files[bank][from]);
    presets[bank].erase(presets[bank].begin() + from);
    files[bank].erase(files[bank].begin() + from);
    const auto at = static_cast<std::ptrdiff_t>(target);
    presets[bank].insert(presets[bank].begin() + at, std::move(preset));
    files[bank].insert(files[bank].begin() + at, std::move(handle));
    return from < target ? -1 : 1;
}

void move_presets_from_diffrent(preset_dir& from, unsigned from_bank, unsigned from_place,
                                preset_dir& to, unsigned to_bank, unsigned to_place) {
    if (&from == &to) {
        Q_ASSERT_X(false, "move_presets_from_diffrent", "source and target are one model");
        return;
    }
    if (!from.in_range(from_bank, from_place, 0) || !to.in_range(to_bank, 0, 1)) {
        return;
    }
    const std::size_t target =
        to_place == preset_dir::end_place ? to.presets[to_bank].size() : to_place;
    if (!to.in_range(to_bank, target, 1)) {
        return;
    }
    qCDebug(quillmar::vortan_log) << "MOVE" << from_bank << from_place << to_bank << target;
    proto::Preset preset = std::move(from.presets[from_bank][from_place]);
    std::unique_ptr<QFile> handle = std::move(from.files[from_bank][from_place]);
    from.presets[from_bank].erase(from.presets[from_bank].begin() + from_place);
    from.files[from_bank].erase(from.files[from_bank].begin() + from_place);
    const auto at = static_cast<std::ptrdiff_t>(target);
    to.presets[to_bank].insert(to.presets[to_bank].begin() + at, std::move(preset));
    to.files[to_bank].insert(to.files[to_bank].begin() + at, std::move(handle));
}

std::size_t restore_selection::clashing() const {
    std::size_t count = 0;
    for (const clash& c : clashes) {
        count += static_cast<std::size_t>(c.left_out.size());
    }
    return count;
}

restore_selection select_for_restore(const preset_dir& backup) {
    restore_selection selection;
    selection.damaged = backup.left_out_count();
    const QDir folder(backup.dirPath());
    // The file each id is sent from, and the place of its clash in the list, once it has one.
    std::map<std::uint32_t, QString> first_file;
    std::map<std::uint32_t, std::size_t> clash_of;
    for (unsigned bank = 0; bank < bank_count; ++bank) {
        for (std::size_t place = 0; place < backup.presets[bank].size(); ++place) {
            const proto::Preset& preset = backup.presets[bank][place];
            // A preset read only in part would overwrite a slot with what is left of it.
            if (!backup.is_intact(bank, static_cast<unsigned>(place))) {
                continue;
            }
            if (preset.ByteSizeLong() > max_preset_size) {
                qCDebug(quillmar::vortan_log).noquote()
                    << "Too large to send:" << backup.files[bank][place]->fileName();
                ++selection.damaged;
                continue;
            }
            const QString file = folder.relativeFilePath(backup.files[bank][place]->fileName());
            const auto [first, fresh] = first_file.try_emplace(preset.id(), file);
            if (fresh) {
                selection.presets.push_back(preset);
                continue;
            }
            const auto [listed, added] =
                clash_of.try_emplace(preset.id(), selection.clashes.size());
            if (added) {
                selection.clashes.push_back({preset.id(), first->second, {}});
            }
            selection.clashes[listed->second].left_out << file;
        }
    }
    return selection;
}
