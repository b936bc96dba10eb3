// The backup root and its folders: where backups go, what they are called, how a backup is
// staged and settled, which folder is the latest, and how old a folder is by its name.
//
// The backup root is the folder "datesaves" of the data folder. A backup is named after the
// local time it was made, "yy_MM_dd_hh_mm" ("20_12_20_14_05"). While it runs, its presets go
// into the hidden staging folder ".backup_in_progress"; hidden entries are never listed as
// backups. Only when it ends does the staging folder get its name (settle):
//   - a complete backup takes the dated name. An earlier backup of the same minute is moved
//     aside first, to ".backup_replaced <name>", and removed only once the new one is in
//     place. Should the earlier one fail to go back after a failed rename, it stays aside
//     under its own name and is put back by the next backup that finds its place free;
//     nothing ever removes a folder set aside that has not been replaced;
//   - a failed backup that saved presets keeps them under the dated name marked
//     " INCOMPLETE" ("20_12_20_14_05 INCOMPLETE", then " INCOMPLETE 2" and so on), which
//     never replaces anything and is never taken for the latest backup;
//   - a backup that wrote no preset leaves nothing behind.
//
// One copy of the tool at a time may write into the root: a backup holds the lock file
// ".backup.lock" there from its start until it is settled.
#pragma once

#include <QDateTime>
#include <QLockFile>
#include <QString>

#include <memory>
#include <optional>

namespace quillmar {

// The data folder's child that holds the backups.
inline const QString backup_root_folder = QStringLiteral("datesaves");
// The local time a backup is named after.
inline const QString backup_name_format = QStringLiteral("yy_MM_dd_hh_mm");
// The mark of a failed backup's folder.
inline const QString incomplete_marker = QStringLiteral(" INCOMPLETE");

// "<data_location>/datesaves".
QString backup_root(const QString& data_location);
// The dated name of a backup made at `when`.
QString backup_name(const QDateTime& when);

// The marked name of a failed backup of the folder name `dated`; `attempt` 1 is the plain
// mark, each later attempt adds its number.
QString incomplete_backup_name(const QString& dated, int attempt);
// True for a name that incomplete_backup_name makes.
bool is_incomplete_backup_name(const QString& name);

// The name of the latest backup in `root`: the last of its sub-folders in case-sensitive
// name order, leaving out hidden and marked folders; empty when there is none.
std::optional<QString> latest_backup_name(const QString& root);

// The age check reads a backup's name field by field: year, month, day, hour and minute,
// two characters each at fixed places.
struct backup_name_fields {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    // Every field stood in the name (it is at least "yy_MM_dd_hh_mm" long).
    bool whole = false;
};
// A field that is no number, or that a short name lacks, reads as 0.
backup_name_fields read_backup_name(const QString& name);
// A backup counts as recent when it was made on the day of `now`, or on the day before in
// the same month at a later hour than now (less than a day ago, comparing hours only). A
// name that lacks a field never counts as recent: it cannot tell when it was made.
bool backup_is_recent(const QString& latest, const QDateTime& now);
// "THE LAST BACKUP IS QUITE OLD (dd/MM/20yy)" with the fields as they stand in the name. A
// name too short to hold a field shows its first two characters there instead, so the
// warning still names what it found ("(zz/zz/20zz)" for a folder "zz").
QString old_backup_warning(const QString& latest);

// What keeps a backup from starting.
enum class backup_start_fault {
    none,
    broken_link,  // the root is a link to nothing
    not_a_folder, // the root is something other than a folder
    not_created,  // the root is missing and cannot be made
    read_only,    // the root may not be written
    not_writable, // the lock or the staging folder cannot be made in it
    busy,         // another living copy of the tool holds the lock
};

// One backup's way through the backup root: lock takes the lock, stage makes the staging
// folder with its bank folders, settle gives it its name and lets the lock go.
class backup_store {
public:
    explicit backup_store(QString data_location);
    ~backup_store();
    backup_store(const backup_store&) = delete;
    backup_store& operator=(const backup_store&) = delete;

    QString root() const;
    // What keeps a backup from writing into the root, if anything can be seen. A missing
    // root is made.
    backup_start_fault root_fault() const;
    // Checks the root and takes the lock; nothing else is touched. A lock whose process has
    // ended is taken over, and so is one that names no process and has been left a while.
    backup_start_fault lock();
    // Makes an empty staging folder with its bank folders for the backup named `dated`. On
    // failure the lock goes and the fault is what the root shows, else not_writable.
    backup_start_fault stage(const QString& dated);
    // The staging folder while a staged backup runs; empty otherwise.
    QString staging() const;
    bool holds_lock() const { return static_cast<bool>(lock_file); }
    // Ends the staged backup: `complete` when every preset arrived and was written, with
    // `written` preset files in the staging folder. True when the backup now lies under its
    // dated name. The lock goes.
    bool settle(bool complete, int written);
    // Lets the lock go, for a backup that was never staged.
    void release();

private:
    QString data_location;
    QString dated_name;
    std::unique_ptr<QLockFile> lock_file;
};

} // namespace quillmar
