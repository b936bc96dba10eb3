#include "demo.h"

#include <QCoreApplication>

namespace quillmar::demo {

QStringList standin_catalog::names() const {
    return {port_name};
}

std::optional<QString> standin_catalog::locate(const QString& name) const {
    if (name != port_name) {
        return std::nullopt;
    }
    return location;
}

std::unique_ptr<session> make_session() {
    // Before the window exists: it takes its data folder from the application name.
    QCoreApplication::setApplicationName(application_name);
    auto demo = std::make_unique<session>();
    if (!demo->synth.valid()) {
        return nullptr;
    }
    demo->window = std::make_unique<vortan_gui>();
    demo->window->set_port_catalog(std::make_unique<standin_catalog>(demo->synth.port_path()));
    return demo;
}

} // namespace quillmar::demo
