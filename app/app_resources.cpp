#include "app_resources.h"

#include <QFontDatabase>
#include <QString>
#include <QStringList>

// Q_INIT_RESOURCE declares the collection's init function where it is used, so it has to
// be used in a function of the global namespace.
static void init_resource_collection() {
    Q_INIT_RESOURCE(Resources);
}

namespace quillmar {

namespace {

const QString display_font_file = QStringLiteral(":/Resources/usuzi.ttf");

} // namespace

void register_resources() {
    init_resource_collection();
}

QFont display_font() {
    // Only a successful load is remembered: a failed one registered nothing, so trying
    // again later cannot add the font twice.
    static QString family;
    if (family.isEmpty()) {
        register_resources();
        const int id = QFontDatabase::addApplicationFont(display_font_file);
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (!families.isEmpty()) {
            family = families.first();
        }
    }
    if (family.isEmpty()) {
        return QFont();
    }
    return QFont(family, -1, -1, false);
}

} // namespace quillmar
