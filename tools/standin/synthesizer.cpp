#include "synthesizer.h"

#include "device_framer.h"
#include "wire.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

namespace quillmar::standin {

namespace {

using protocol::command;

// Real-time bytes put between the bytes of an answer, in turn.
constexpr std::array<char, 2> realtime_fillers{static_cast<char>(0xF8), static_cast<char>(0xFE)};
// Offset of the model id in a message: F0, three manufacturer bytes, the device id.
constexpr int model_id_offset = 5;
static_assert(model_id_offset + 2 == static_cast<int>(protocol::header_size),
              "The model id is the byte before the command.");
// Reads taken per read notification, so a long message does not starve the event loop.
constexpr int reads_per_wakeup = 16;

bool in_slot_range(int slot) noexcept {
    return slot >= 0 && slot < preset_slot_count;
}

QByteArray interleaved(const QByteArray& bytes) {
    QByteArray out;
    out.reserve(bytes.size() * 2);
    for (int i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            out.append(realtime_fillers[static_cast<std::size_t>(i - 1) % realtime_fillers.size()]);
        }
        out.append(bytes[i]);
    }
    return out;
}

} // namespace

synthesizer::synthesizer(QObject* parent)
    : QObject(parent), framer(std::make_unique<device_framer>()) {
    qRegisterMetaType<message>("quillmar::standin::message");
    load_factory_presets();
    chunk_gap.setSingleShot(true);
    chunk_gap.setInterval(1);
    connect(&chunk_gap, &QTimer::timeout, this, &synthesizer::resume_writing);
    if (!pty.valid()) {
        qWarning() << "vortan stand-in: no pseudo-terminal";
        return;
    }
    read_notifier = std::make_unique<QSocketNotifier>(pty.master(), QSocketNotifier::Read);
    connect(read_notifier.get(), &QSocketNotifier::activated, this, &synthesizer::on_readable);
    write_notifier = std::make_unique<QSocketNotifier>(pty.master(), QSocketNotifier::Write);
    write_notifier->setEnabled(false);
    connect(write_notifier.get(), &QSocketNotifier::activated, this, &synthesizer::on_writable);
}

synthesizer::~synthesizer() {
    // The notifiers go before the descriptor they watch is closed.
    read_notifier.reset();
    write_notifier.reset();
}

bool synthesizer::valid() const noexcept {
    return pty.valid();
}

QString synthesizer::port_path() const {
    return pty.slave_path();
}

// ---- Preset memory ----

std::optional<proto::Preset> synthesizer::preset(int slot) const {
    if (!in_slot_range(slot) || !memory[static_cast<std::size_t>(slot)]) {
        return std::nullopt;
    }
    const QByteArray& bytes = *memory[static_cast<std::size_t>(slot)];
    proto::Preset preset;
    if (!preset.ParsePartialFromArray(bytes.constData(), static_cast<int>(bytes.size()))) {
        return std::nullopt;
    }
    return preset;
}

std::optional<QByteArray> synthesizer::preset_bytes(int slot) const {
    if (!in_slot_range(slot)) {
        return std::nullopt;
    }
    return memory[static_cast<std::size_t>(slot)];
}

void synthesizer::set_preset(int slot, const proto::Preset& preset) {
    const std::string bytes = preset.SerializePartialAsString();
    set_preset_bytes(slot, QByteArray(bytes.data(), static_cast<int>(bytes.size())));
}

void synthesizer::set_preset_bytes(int slot, const QByteArray& serialized) {
    if (in_slot_range(slot)) {
        memory[static_cast<std::size_t>(slot)] = serialized;
    }
}

void synthesizer::remove_preset(int slot) {
    if (in_slot_range(slot)) {
        memory[static_cast<std::size_t>(slot)].reset();
    }
}

void synthesizer::forget_presets() {
    for (auto& slot : memory) {
        slot.reset();
    }
}

void synthesizer::load_factory_presets() {
    const std::vector<proto::Preset> presets = make_factory_presets();
    for (int i = 0; i < preset_slot_count; ++i) {
        set_preset(i, presets[static_cast<std::size_t>(i)]);
    }
}

int synthesizer::preset_count() const {
    int count = 0;
    for (const auto& slot : memory) {
        count += slot ? 1 : 0;
    }
    return count;
}

// ---- Switches ----

void synthesizer::set_refused_exports(std::set<int> indexes) {
    refused_exports = std::move(indexes);
}
void synthesizer::set_refuse_imports(bool refuse) {
    refuse_imports = refuse;
}
void synthesizer::set_refused_import_ids(std::set<std::uint32_t> ids) {
    refused_import_ids = std::move(ids);
}
void synthesizer::set_refuse_update_request(bool refuse) {
    refuse_update_request = refuse;
}
void synthesizer::set_fail_update(bool fail) {
    fail_update = fail;
}
void synthesizer::set_answer_exports_twice(bool twice) {
    answer_exports_twice = twice;
}
void synthesizer::set_fixed_export_slot(std::optional<int> slot) {
    fixed_export_slot = slot;
}
void synthesizer::set_silent(bool value) {
    silent = value;
}
void synthesizer::set_silent_to(protocol::command request, bool value) {
    if (value) {
        silent_requests.insert(request);
    } else {
        silent_requests.erase(request);
    }
}
void synthesizer::set_answer_delay(int milliseconds) {
    answer_delay = std::max(0, milliseconds);
}
void synthesizer::stop_next_answer_after(int bytes) {
    stop_after = std::max(0, bytes);
}
void synthesizer::corrupt_next_answer(int body_index) {
    corrupt_at = std::max(0, body_index);
}
void synthesizer::set_chunk_size(int bytes, int gap_milliseconds) {
    chunk_size = std::max(0, bytes);
    chunk_gap.setInterval(std::max(0, gap_milliseconds));
}
void synthesizer::set_interleave_realtime(bool interleave) {
    interleave_realtime = interleave;
}

// ---- Vanishing ----

void synthesizer::vanish() {
    if (!pty.valid()) {
        return;
    }
    read_notifier->setEnabled(false);
    write_notifier->setEnabled(false);
    chunk_gap.stop();
    outbox.clear();
    front_written = 0;
    pty.close_master();
    emit vanished();
}

void synthesizer::vanish_after_messages(int count) {
    if (count <= 0) {
        vanish();
        return;
    }
    vanish_messages_left = count;
}

void synthesizer::vanish_after_bytes(qint64 count) {
    if (count <= 0) {
        vanish();
        return;
    }
    vanish_bytes_left = count;
}

bool synthesizer::has_vanished() const noexcept {
    return !pty.valid();
}

void synthesizer::discard_unread() {
    chunk_gap.stop();
    outbox.clear();
    front_written = 0;
    if (!pty.valid()) {
        return;
    }
    write_notifier->setEnabled(false);
    pty.discard_unread();
}

void synthesizer::clear_records() {
    received_messages.clear();
    received_bytes = 0;
    sent_bytes = 0;
    last_firmware.clear();
    last_verdict.reset();
}

// ---- Input ----

void synthesizer::on_readable() {
    for (int reads = 0; reads < reads_per_wakeup && pty.valid(); ++reads) {
        const ssize_t n = ::read(pty.master(), input.data(), input.size());
        if (n > 0) {
            consume(input.data(), static_cast<int>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        // End of input or an error on the master end. The pair keeps its serial end open, so
        // this does not happen in normal work; stop listening rather than spin.
        qWarning() << "vortan stand-in: reading the pseudo-terminal failed, errno" << errno;
        read_notifier->setEnabled(false);
        return;
    }
}

void synthesizer::consume(const char* bytes, int size) {
    for (int i = 0; i < size && pty.valid(); ++i) {
        ++received_bytes;
        if (std::optional<message> m =
                framer->push(std::byte{static_cast<unsigned char>(bytes[i])})) {
            on_message(*m);
        }
        if (vanish_bytes_left > 0 && --vanish_bytes_left == 0) {
            vanish();
        }
    }
}

void synthesizer::on_message(const message& m) {
    received_messages.push_back(m);
    emit received(m);
    if (!pty.valid()) {
        return;
    }
    if (vanish_messages_left > 0 && --vanish_messages_left == 0) {
        vanish();
        return;
    }
    handle(m);
}

void synthesizer::handle(const message& m) {
    switch (m.command) {
    case command::connection_request:
        if (m.body.isEmpty()) {
            answer(m.command, make_message(command::connection_request_acked));
        }
        return;
    case command::firmware_update_request:
        if (m.body.isEmpty()) {
            answer(m.command,
                   make_message(refuse_update_request ? command::firmware_update_request_nacked
                                                      : command::firmware_update_request_acked));
        }
        return;
    case command::firmware_update:
        answer_firmware(m);
        return;
    case command::preset_export_request:
        answer_export(m);
        return;
    case command::preset_import:
        answer_import(m);
        return;
    case command::connection_request_acked:
    case command::firmware_update_request_acked:
    case command::firmware_update_request_nacked:
    case command::firmware_update_succeeded:
    case command::firmware_update_failed:
    case command::preset_export_request_nacked:
    case command::preset_export:
    case command::preset_import_succeeded:
    case command::preset_import_failed:
        // The synthesizer's own messages coming back: nothing to answer.
        return;
    }
    // A command byte outside the protocol: no answer.
}

void synthesizer::answer_export(const message& m) {
    if (m.body.size() != static_cast<int>(protocol::preset_id_nibbles)) {
        return;
    }
    bool complete = false;
    const QByteArray id = decode_nibbles(m.body, &complete);
    const int asked = static_cast<unsigned char>(id[0]) | (static_cast<unsigned char>(id[1]) << 8);
    const int index = fixed_export_slot.value_or(asked);
    const std::optional<QByteArray> held = preset_bytes(index);
    const QByteArray reply = !held || refused_exports.contains(index)
                                 ? make_message(command::preset_export_request_nacked)
                                 : make_message(command::preset_export, encode_nibbles(*held));
    answer(m.command, reply);
    if (answer_exports_twice) {
        answer(m.command, reply);
    }
}

void synthesizer::answer_import(const message& m) {
    bool complete = false;
    const QByteArray payload = decode_nibbles(m.body, &complete);
    proto::Preset preset;
    const bool parsed =
        complete && preset.ParseFromArray(payload.constData(), static_cast<int>(payload.size()));
    const bool stored = parsed && !refuse_imports &&
                        preset.id() < static_cast<std::uint32_t>(preset_slot_count) &&
                        !refused_import_ids.contains(preset.id());
    if (stored) {
        memory[preset.id()] = payload;
    }
    answer(m.command,
           make_message(stored ? command::preset_import_succeeded : command::preset_import_failed));
}

void synthesizer::answer_firmware(const message& m) {
    last_firmware = m.raw;
    last_verdict = check_firmware_body(m.body);
    const bool good = *last_verdict == firmware_verdict::intact && !fail_update;
    answer(m.command, make_message(good ? command::firmware_update_succeeded
                                        : command::firmware_update_failed));
}

// ---- Output ----

void synthesizer::answer(protocol::command request, QByteArray bytes) {
    if (silent || silent_requests.contains(request)) {
        return;
    }
    if (corrupt_at) {
        const int body_size = bytes.size() - static_cast<int>(protocol::bodyless_message_size);
        const int at = *corrupt_at < body_size
                           ? static_cast<int>(protocol::header_size) + *corrupt_at
                           : model_id_offset;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        corrupt_at.reset();
    }
    if (interleave_realtime) {
        bytes = interleaved(bytes);
    }
    if (stop_after) {
        bytes.truncate(*stop_after);
        stop_after.reset();
        silent = true;
    }
    if (answer_delay == 0) {
        enqueue(bytes);
        return;
    }
    QTimer::singleShot(answer_delay, this, [this, bytes] {
        if (pty.valid()) {
            enqueue(bytes);
        }
    });
}

void synthesizer::enqueue(const QByteArray& bytes) {
    if (!pty.valid()) {
        return;
    }
    if (bytes.isEmpty()) {
        emit answered(bytes);
        return;
    }
    const int step = chunk_size > 0 ? chunk_size : bytes.size();
    for (int at = 0; at < bytes.size(); at += step) {
        chunk piece;
        piece.bytes = bytes.mid(at, step);
        piece.pause_after = chunk_size > 0;
        if (at + step >= bytes.size()) {
            piece.completes = bytes;
        }
        outbox.push_back(std::move(piece));
    }
    if (!chunk_gap.isActive()) {
        write_notifier->setEnabled(true);
    }
}

void synthesizer::resume_writing() {
    if (pty.valid() && !outbox.empty()) {
        write_notifier->setEnabled(true);
    }
}

void synthesizer::on_writable() {
    while (!outbox.empty() && pty.valid()) {
        chunk& front = outbox.front();
        const ssize_t n = ::write(pty.master(), front.bytes.constData() + front_written,
                                  static_cast<std::size_t>(front.bytes.size() - front_written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // the notifier stays on and calls again when there is room
        }
        if (n < 0) {
            qWarning() << "vortan stand-in: writing the pseudo-terminal failed, errno" << errno;
            outbox.clear();
            front_written = 0;
            break;
        }
        sent_bytes += n;
        front_written += n;
        if (front_written < front.bytes.size()) {
            continue;
        }
        const bool pause = front.pause_after;
        const std::optional<QByteArray> completes = std::move(front.completes);
        outbox.pop_front();
        front_written = 0;
        if (completes) {
            emit answered(*completes);
        }
        if (pause && !outbox.empty() && pty.valid()) {
            write_notifier->setEnabled(false);
            chunk_gap.start();
            return;
        }
    }
    if (pty.valid()) {
        write_notifier->setEnabled(false);
    }
}

} // namespace quillmar::standin
