// Names of the folders in the backup root.
//
// A backup that ended without success keeps what it saved, under its dated name followed by
// " INCOMPLETE" ("20_12_10_14_29 INCOMPLETE"), or, when that is taken, " INCOMPLETE 2",
// " INCOMPLETE 3" and so on. Such a marked folder is never the latest backup: the restore and
// the update's age check pass over it.
#pragma once

#include <QRegularExpression>
#include <QString>

namespace quillmar {

inline const QString incomplete_marker = QStringLiteral(" INCOMPLETE");

// The marked name of a failed backup of the folder name `dated`; `attempt` 1 is the plain
// mark, each later attempt adds its number.
inline QString incomplete_backup_name(const QString& dated, int attempt) {
    return attempt <= 1 ? dated + incomplete_marker
                        : dated + incomplete_marker + QLatin1Char(' ') + QString::number(attempt);
}

// True for a name that incomplete_backup_name makes.
inline bool is_incomplete_backup_name(const QString& name) {
    static const QRegularExpression mark(QStringLiteral(" INCOMPLETE( [1-9][0-9]*)?$"));
    return mark.match(name).hasMatch();
}

} // namespace quillmar
