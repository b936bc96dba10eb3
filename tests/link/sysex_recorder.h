#pragma once

// Records every listener call of a device message parser as text, tagged with the position
// during which it happened: the index of the byte, or "end" for the end of the message.

#include "hex.h"
#include "sysex_parser.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <span>

namespace link_test {

template <std::size_t N>
const char* error_name(typename quillmar::sysex_parser_buffered<N>::error e) {
    using error = typename quillmar::sysex_parser_buffered<N>::error;
    switch (e) {
    case error::unexpected_end:
        return "unexpected_end";
    case error::unexpected_data:
        return "unexpected_data";
    case error::wrong_device_id:
        return "wrong_device_id";
    case error::wrong_model_id:
        return "wrong_model_id";
    case error::invalid_command:
        return "invalid_command";
    case error::crc_mismatch:
        return "crc_mismatch";
    }
    return "?";
}

template <std::size_t N> struct sysex_recorder {
    using parser_type = quillmar::sysex_parser_buffered<N>;
    QStringList events;
    QString at = QStringLiteral("-");

    void log(const QString& event) { events << at + ": " + event; }

    auto event(const char* name) {
        return [this, name] { log(QString::fromLatin1(name)); };
    }
    auto data(const char* name) {
        return [this, name](std::span<std::byte> block) {
            log(QString::fromLatin1(name) + ' ' + hex(block));
        };
    }

    void attach(parser_type& p) {
        p.set_connection_request_listener(event("connection_request"));
        p.set_connection_request_acked_listener(event("connection_request_acked"));
        p.set_firmware_update_request_listener(event("firmware_update_request"));
        p.set_firmware_update_request_acked_listener(event("firmware_update_request_acked"));
        p.set_firmware_update_request_nacked_listener(event("firmware_update_request_nacked"));
        p.set_firmware_update_start_listener(event("firmware_update_start"));
        p.set_firmware_update_data_listener(data("firmware_update_data"));
        p.set_firmware_update_end_listener(event("firmware_update_end"));
        p.set_firmware_update_succeeded_listener(event("firmware_update_succeeded"));
        p.set_firmware_update_failed_listener(event("firmware_update_failed"));
        p.set_preset_export_request_listener(
            [this](std::uint16_t id) { log(QStringLiteral("preset_export_request %1").arg(id)); });
        p.set_preset_export_request_nacked_listener(event("preset_export_request_nacked"));
        p.set_preset_export_start_listener(event("preset_export_start"));
        p.set_preset_export_data_listener(data("preset_export_data"));
        p.set_preset_export_end_listener(event("preset_export_end"));
        p.set_preset_import_start_listener(event("preset_import_start"));
        p.set_preset_import_data_listener(data("preset_import_data"));
        p.set_preset_import_end_listener(event("preset_import_end"));
        p.set_preset_import_succeeded_listener(event("preset_import_succeeded"));
        p.set_preset_import_failed_listener(event("preset_import_failed"));
        p.set_error_listener([this](typename parser_type::error e) {
            log(QStringLiteral("error ") + error_name<N>(e));
        });
    }

    // One message: its bytes after the manufacturer id, between sysex_start and sysex_end.
    void message(parser_type& p, const QByteArray& body) {
        at = QStringLiteral("-");
        p.sysex_start();
        for (int i = 0; i < body.size(); ++i) {
            at = QString::number(i);
            p.parse(static_cast<std::byte>(body.at(i)));
        }
        at = QStringLiteral("end");
        p.sysex_end();
    }
};

} // namespace link_test
