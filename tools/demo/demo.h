#pragma once

// vortan-demo: the tool's window with a synthesizer stand-in in the same process, for trying
// BACKUP, RESTORE and UPDATE without the hardware and without root.
//
// The port dialog lists the stand-in alone and never a real serial port, so the generated
// firmware image of the build tree, which the demo reads beside its executable, can only ever
// reach the stand-in. The demo keeps its backups in a data folder of its own,
// ~/.local/share/vortan-demo, apart from the real tool's.

#include "synthesizer.h"
#include "vortan_gui.h"

#include <QString>

#include <memory>
#include <optional>

namespace quillmar::demo {

// The application name, and so the name of the demo's data folder.
inline const QString application_name = QStringLiteral("vortan-demo");
// The one name the demo's port dialog lists.
inline const QString port_name = QStringLiteral("VORTAN STAND-IN");

// The port list of the demo: the stand-in's serial end under port_name, nothing else.
class standin_catalog : public port_catalog {
public:
    explicit standin_catalog(QString location) : location(std::move(location)) {}

    QStringList names() const override;
    std::optional<QString> locate(const QString& name) const override;

private:
    QString location;
};

// The stand-in and the window that talks to it. The stand-in is declared first, so it outlives
// the window, which may still hold its serial end open.
struct session {
    standin::synthesizer synth;
    std::unique_ptr<vortan_gui> window;
};

// Sets the application name to application_name, then builds the stand-in and the window
// whose port dialog lists only the stand-in. The window is not shown yet. Empty when no
// pseudo-terminal could be opened. Needs the QApplication.
std::unique_ptr<session> make_session();

} // namespace quillmar::demo
