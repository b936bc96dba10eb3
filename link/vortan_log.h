#pragma once

#include <QLoggingCategory>
#include <QtGlobal>

namespace quillmar {

// The name of the tool's one logging category; QT_LOGGING_RULES="vortan.debug=true" turns its
// debug lines on.
inline constexpr char vortan_log_name[] = "vortan";

// Every debug line and warning of the tool goes out under this category (qCDebug, qCWarning).
// A release build (NDEBUG) keeps its debug lines off unless a logging rule turns them on, so
// an ordinary run prints nothing but warnings; a debug build has them on. Logging rules
// (QT_LOGGING_RULES, QLoggingCategory::setFilterRules) decide over this default.
inline const QLoggingCategory& vortan_log() {
#ifdef NDEBUG
    static const QLoggingCategory category(vortan_log_name, QtInfoMsg);
#else
    static const QLoggingCategory category(vortan_log_name, QtDebugMsg);
#endif
    return category;
}

} // namespace quillmar
