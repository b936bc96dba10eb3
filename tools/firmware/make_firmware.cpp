// make_firmware <out>: writes the firmware image that ships beside the tool.

#include "firmware_image.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_firmware <output file>\n");
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const QByteArray image = quillmar::standin::make_firmware_image();
    // QSaveFile writes to a temporary file and renames it at commit, so an interrupted run
    // never leaves a truncated image behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit()) {
        std::fprintf(stderr, "make_firmware: cannot write %s: %s\n", argv[1],
                     qPrintable(file.errorString()));
        return 1;
    }
    return 0;
}
