// make_icon IN.png SIZE OUT.png: the emblem scaled smoothly to SIZE x SIZE pixels, for the
// desktop's icon theme.

#include <QImage>
#include <QString>

#include <cstdio>

namespace {

constexpr int smallest_size = 16;
constexpr int largest_size = 1024;
static_assert(smallest_size > 0 && smallest_size < largest_size,
              "The icon sizes form a range of positive sizes.");

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s IN.png SIZE OUT.png\n", argv[0]);
        return 2;
    }
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[2]).toInt(&ok);
    if (!ok || size < smallest_size || size > largest_size) {
        std::fprintf(stderr, "make_icon: size %s is not between %d and %d\n", argv[2],
                     smallest_size, largest_size);
        return 2;
    }
    const QImage source(QString::fromLocal8Bit(argv[1]));
    if (source.isNull()) {
        std::fprintf(stderr, "make_icon: cannot read %s\n", argv[1]);
        return 1;
    }
    const QImage icon = source.convertToFormat(QImage::Format_ARGB32)
                            .scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (icon.size() != QSize(size, size) || !icon.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "make_icon: cannot write a %d px icon to %s\n", size, argv[3]);
        return 1;
    }
    return 0;
}
