#include "backup_store.h"

#include "preset_files.h"
#include "vortan_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace quillmar {

namespace {

// Both start with "." so that listing the backups (QDir::Dirs | QDir::NoDotAndDotDot)
// never finds them.
const QString staging_folder = QStringLiteral(".backup_in_progress");
const QString replaced_prefix = QStringLiteral(".backup_replaced ");
// A file, so listing the backups never finds it either.
const QString lock_file_name = QStringLiteral(".backup.lock");

// Fields of a backup name: two characters each, at these places of "yy_MM_dd_hh_mm".
constexpr int field_length = 2;
constexpr int year_at = 0;
constexpr int month_at = 3;
constexpr int day_at = 6;
constexpr int hour_at = 9;
constexpr int minute_at = 12;
constexpr int whole_name_length = minute_at + field_length;
static_assert(whole_name_length == 14, "A backup name \"yy_MM_dd_hh_mm\" has fourteen characters.");
// "yy_MM" and "yy_MM_dd": the same month, the same day.
constexpr int month_prefix_length = month_at + field_length;
constexpr int day_prefix_length = day_at + field_length;

// A lock file names the process that holds it from the moment it is made. One that names
// nobody this long after it was last written was left half-made by a copy that died.
constexpr qint64 unreadable_lock_age_ms = 10000;
static_assert(unreadable_lock_age_ms >= 1000,
              "A lock being made is never taken for an abandoned one.");

// Marked names tried for a failed backup ("... INCOMPLETE", "... INCOMPLETE 2", ...) before
// its presets are given up.
constexpr int max_incomplete_attempts = 1000;
static_assert(max_incomplete_attempts >= 60,
              "A failed backup finds a marked name even after a minute of failed attempts.");
// Names tried for setting an earlier backup aside (".backup_replaced <name>", then with
// " 2", " 3", ...), while earlier ones wait to be put back.
constexpr int max_aside_attempts = 100;
static_assert(max_aside_attempts >= 2,
              "A backup can be set aside while an earlier one still waits to go back.");

QChar sep() {
    return QDir::separator();
}

// Something lies at `path`: a file, a folder or a link, a dangling link included.
bool present(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Removes whatever lies at `path`: a folder with everything in it, or a file or a link. A
// link is removed itself; what it points at is left alone.
bool remove_entry(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else if (present(path)) {
        QFile::remove(path);
    }
    return !present(path);
}

// Makes `path` an empty folder of its own (not a link); false when that cannot be done.
bool make_empty_folder(const QString& path) {
    if (!remove_entry(path) || !QDir().mkpath(path)) {
        return false;
    }
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() &&
           QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                              QDir::NoDotAndDotDot);
}

// Renames within the backup root; false when `to` is taken or the rename fails.
bool rename_entry(const QString& from, const QString& to) {
    return !present(to) && QDir().rename(from, to);
}

QString aside_name(const QString& dated, int attempt) {
    return attempt <= 1 ? replaced_prefix + dated
                        : replaced_prefix + dated + QLatin1Char(' ') + QString::number(attempt);
}

// The backup name a folder set aside belongs to.
QString aside_owner(const QString& aside) {
    static const QRegularExpression numbered(QStringLiteral(" [1-9][0-9]*$"));
    QString dated = aside.mid(replaced_prefix.size());
    if (dated.size() > whole_name_length) {
        dated.remove(numbered);
    }
    return dated;
}

// Earlier backups left aside by a settle that could not put them back go back to their
// names where those are free. One whose name is taken stays aside: it is never removed.
void put_back_set_aside(const QString& root) {
    const QStringList aside = QDir(root).entryList(
        {replaced_prefix + QLatin1Char('*')}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : aside) {
        const QString owner = aside_owner(name);
        if (!owner.isEmpty() && !present(root + sep() + owner) &&
            rename_entry(root + sep() + name, root + sep() + owner)) {
            qCDebug(vortan_log, "Put the backup %s back in place", qUtf8Printable(owner));
        }
    }
}

// Puts the staging folder of a complete backup in place under `dated`, replacing a folder of
// that name only once the new one has taken its place. True when the backup now lies there.
bool place_complete(const QString& root, const QString& staging, const QString& dated) {
    const QString target = root + sep() + dated;
    if (!present(target)) {
        return rename_entry(staging, target);
    }
    QString aside;
    for (int attempt = 1; attempt <= max_aside_attempts && aside.isEmpty(); ++attempt) {
        const QString candidate = root + sep() + aside_name(dated, attempt);
        if (rename_entry(target, candidate)) {
            aside = candidate;
        } else if (!present(candidate)) {
            // The earlier backup cannot be moved at all.
            return false;
        }
    }
    if (aside.isEmpty()) {
        return false;
    }
    if (!rename_entry(staging, target)) {
        // The earlier backup goes back in place; should that fail too, it stays aside and
        // the next backup puts it back.
        if (!rename_entry(aside, target)) {
            qCWarning(vortan_log, "Unable to put the backup %s back in place; it is kept in %s",
                      qUtf8Printable(dated), qUtf8Printable(aside));
        }
        return false;
    }
    if (!remove_entry(aside)) {
        qCWarning(vortan_log, "Unable to remove the replaced backup %s", qUtf8Printable(aside));
    }
    return true;
}

// Keeps the presets of a failed backup under the first free marked name; nothing is
// replaced. False when no marked name could be given.
bool keep_marked(const QString& root, const QString& staging, const QString& dated) {
    for (int attempt = 1; attempt <= max_incomplete_attempts; ++attempt) {
        if (rename_entry(staging, root + sep() + incomplete_backup_name(dated, attempt))) {
            return true;
        }
    }
    return false;
}

int field_value(const QString& name, int at) {
    return name.size() >= at + field_length ? name.mid(at, field_length).toInt() : 0;
}

// One field of a backup name as it stands, for the warning.
QString field_text(const QString& name, int at) {
    return name.size() >= at + field_length ? name.mid(at, field_length) : name.left(field_length);
}

} // namespace

QString backup_root(const QString& data_location) {
    return data_location + sep() + backup_root_folder;
}

QString backup_name(const QDateTime& when) {
    return when.toString(backup_name_format);
}

QString incomplete_backup_name(const QString& dated, int attempt) {
    return attempt <= 1 ? dated + incomplete_marker
                        : dated + incomplete_marker + QLatin1Char(' ') + QString::number(attempt);
}

bool is_incomplete_backup_name(const QString& name) {
    static const QRegularExpression mark(QStringLiteral(" INCOMPLETE( [1-9][0-9]*)?$"));
    return mark.match(name).hasMatch();
}

std::optional<QString> latest_backup_name(const QString& root) {
    QStringList names = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    // A failed backup's folder, marked in its name, is never taken for a backup.
    names.erase(std::remove_if(names.begin(), names.end(), is_incomplete_backup_name), names.end());
    if (names.isEmpty()) {
        return std::nullopt;
    }
    names.sort(Qt::CaseSensitive);
    return names.last();
}

backup_name_fields read_backup_name(const QString& name) {
    return {field_value(name, year_at),   field_value(name, month_at),
            field_value(name, day_at),    field_value(name, hour_at),
            field_value(name, minute_at), name.size() >= whole_name_length};
}

bool backup_is_recent(const QString& latest, const QDateTime& now) {
    const QString today = backup_name(now);
    const backup_name_fields made = read_backup_name(latest);
    const backup_name_fields current = read_backup_name(today);
    if (!made.whole) {
        return false;
    }
    if (latest.left(day_prefix_length) == today.left(day_prefix_length)) {
        return true;
    }
    return latest.left(month_prefix_length) == today.left(month_prefix_length) &&
           current.day == made.day + 1 && made.hour > current.hour;
}

QString old_backup_warning(const QString& latest) {
    return QStringLiteral("THE LAST BACKUP IS QUITE OLD (") + field_text(latest, day_at) +
           QStringLiteral("/") + field_text(latest, month_at) + QStringLiteral("/20") +
           field_text(latest, year_at) + QStringLiteral(")");
}

backup_store::backup_store(QString data_location) : data_location(std::move(data_location)) {}

backup_store::~backup_store() = default;

QString backup_store::root() const {
    return backup_root(data_location);
}

backup_start_fault backup_store::root_fault() const {
    const QString path = root();
    const QFileInfo info(path);
    if (info.isSymLink() && !info.exists()) {
        return backup_start_fault::broken_link;
    }
    if (info.exists() && !info.isDir()) {
        return backup_start_fault::not_a_folder;
    }
    if (!info.exists() && !QDir().mkpath(path)) {
        return backup_start_fault::not_created;
    }
    if (!QFileInfo(path).isWritable()) {
        return backup_start_fault::read_only;
    }
    return backup_start_fault::none;
}

backup_start_fault backup_store::lock() {
    if (const backup_start_fault fault = root_fault(); fault != backup_start_fault::none) {
        return fault;
    }
    const QString path = root() + sep() + lock_file_name;
    auto lock = std::make_unique<QLockFile>(path);
    // Stale only when the process that holds it is gone, however long its backup runs.
    lock->setStaleLockTime(0);
    bool taken = lock->tryLock(0);
    if (!taken && lock->error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host;
        QString application;
        if (lock->getLockInfo(&pid, &host, &application)) {
            return backup_start_fault::busy;
        }
        const qint64 age = QFileInfo(path).lastModified().msecsTo(QDateTime::currentDateTime());
        if (qAbs(age) <= unreadable_lock_age_ms) {
            return backup_start_fault::busy;
        }
        qCDebug(vortan_log, "Removing an abandoned backup lock");
        lock->removeStaleLockFile();
        taken = lock->tryLock(0);
        if (!taken && lock->error() == QLockFile::LockFailedError) {
            return backup_start_fault::busy;
        }
    }
    if (!taken) {
        const backup_start_fault fault = root_fault();
        return fault == backup_start_fault::none ? backup_start_fault::not_writable : fault;
    }
    lock_file = std::move(lock);
    return backup_start_fault::none;
}

backup_start_fault backup_store::stage(const QString& dated) {
    const QString root_path = root();
    put_back_set_aside(root_path);
    const QString folder = root_path + sep() + staging_folder;
    bool made = make_empty_folder(folder);
    for (unsigned bank = 0; made && bank < bank_count; ++bank) {
        made = QDir().mkpath(folder + sep() + preset_bank_folder(bank * bank_size));
    }
    if (!made) {
        remove_entry(folder);
        release();
        const backup_start_fault fault = root_fault();
        return fault == backup_start_fault::none ? backup_start_fault::not_writable : fault;
    }
    dated_name = dated;
    return backup_start_fault::none;
}

QString backup_store::staging() const {
    return dated_name.isEmpty() ? QString() : root() + sep() + staging_folder;
}

bool backup_store::settle(bool complete, int written) {
    if (dated_name.isEmpty()) {
        release();
        return false;
    }
    const QString root_path = root();
    const QString folder = staging();
    const QString dated = dated_name;
    dated_name.clear();
    bool placed = false;
    if (written == 0) {
        if (!remove_entry(folder)) {
            qCWarning(vortan_log, "Unable to remove the empty backup folder");
        }
    } else if (complete && place_complete(root_path, folder, dated)) {
        placed = true;
    } else {
        if (complete) {
            qCDebug(vortan_log, "Unable to rename the backup folder");
        }
        if (!keep_marked(root_path, folder, dated)) {
            qCDebug(vortan_log, "Unable to keep the incomplete backup folder");
        }
    }
    release();
    return placed;
}

void backup_store::release() {
    lock_file.reset();
}

} // namespace quillmar
