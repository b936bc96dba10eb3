#pragma once

// What the preset fuzz targets share: a quiet log, a scratch folder on a memory file system
// where there is one, and a loud stop when a property fails.

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

#include <google/protobuf/stubs/logging.h>

#include <cstdio>
#include <cstdlib>

namespace quillmar::fuzz {

inline void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// Parse errors are the normal case while fuzzing; their reports would only slow the run.
inline void silence_logs() {
    google::protobuf::SetLogHandler(nullptr);
    qInstallMessageHandler(quiet);
}

// Every run writes files; on a memory file system that costs far less than on a disk.
inline QString scratch_template() {
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    return shm.isDir() && shm.isWritable()
               ? QStringLiteral("/dev/shm/vortan_fuzz-XXXXXX")
               : QDir::tempPath() + QStringLiteral("/vortan_fuzz-XXXXXX");
}

[[noreturn]] inline void fail(const char* target, const char* what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

} // namespace quillmar::fuzz
