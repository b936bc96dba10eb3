#pragma once

#include "factory_presets.h"
#include "firmware_image.h"
#include "message.h"
#include "protocol.h"
#include "pty_pair.h"

#include "preset.pb.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QSocketNotifier;

namespace quillmar::standin {

class device_framer;

// A Vortan on the far side of a pseudo-terminal.
//
// It owns the master end of a pty_pair; the tool (or a test) opens port_path(), the serial end,
// with QSerialPort. It answers every request of the protocol the way the synthesizer does and
// holds 256 preset slots, filled with make_factory_presets() at construction. It runs on the
// event loop of its thread: a read notifier on the master end, a write queue drained by a write
// notifier (the pseudo-terminal buffers only a few kilobytes), timers for delays. It never
// blocks and starts no thread.
//
// Requests and answers:
//   connection_request        -> connection_request_acked
//   firmware_update_request   -> firmware_update_request_acked, or _nacked when refused
//   firmware_update           -> firmware_update_succeeded when the body checks out (CRC field,
//                                data in nibble pairs, each byte 0x00-0x0F, CRC-8 matches) and
//                                the update is not set to fail; firmware_update_failed otherwise
//   preset_export_request     -> preset_export with the slot's serialized preset, nibble-encoded;
//                                preset_export_request_nacked for an index of 256 and up, an
//                                empty slot or a refused index (two misbehaving devices can be
//                                played: one that answers every export twice, one that answers
//                                every export with the preset of one fixed slot)
//   preset_import             -> the preset is parsed and stored, as received, in the slot of
//                                its id: preset_import_succeeded; preset_import_failed when the
//                                body does not decode, the preset does not parse (a missing id
//                                included), the id is 256 or more, or imports are refused
// Requests with a body where none belongs, an export request whose id is not four nibble bytes,
// the synthesizer's own commands and unknown commands get no answer. They are recorded all the
// same, as is every message with the Vortan header.
//
// The behaviour switches below are read when an answer is made, so a test may change them at
// any time, also from a slot connected to received().
class synthesizer : public QObject {
    Q_OBJECT

public:
    explicit synthesizer(QObject* parent = nullptr);
    ~synthesizer() override;
    synthesizer(const synthesizer&) = delete;
    synthesizer& operator=(const synthesizer&) = delete;

    // False when no pseudo-terminal could be opened; nothing works then.
    bool valid() const noexcept;
    // The serial end the tool opens, such as "/dev/pts/3".
    QString port_path() const;

    // ---- Preset memory (slots 0-255; other slot numbers are ignored) ----

    // The preset in a slot; empty when the slot is empty or holds bytes that do not parse.
    std::optional<proto::Preset> preset(int slot) const;
    // The serialized bytes a slot holds, exactly as they will be exported.
    std::optional<QByteArray> preset_bytes(int slot) const;
    // Plants a preset (serialized even when incomplete, so a preset without id can be planted).
    void set_preset(int slot, const proto::Preset& preset);
    // Plants raw serialized bytes: unknown fields, garbage, an empty serialization.
    void set_preset_bytes(int slot, const QByteArray& serialized);
    // Empties a slot: its export is then refused.
    void remove_preset(int slot);
    // Empties every slot, so what a restore brings back can be told apart.
    void forget_presets();
    // Fills every slot with make_factory_presets() again.
    void load_factory_presets();
    // Number of slots that hold something.
    int preset_count() const;

    // ---- Refusals ----

    // Export requests for these indexes are answered with preset_export_request_nacked.
    void set_refused_exports(std::set<int> indexes);
    // Every import fails.
    void set_refuse_imports(bool refuse);
    // Imports of presets carrying one of these ids fail.
    void set_refused_import_ids(std::set<std::uint32_t> ids);
    // The firmware_update_request is answered with firmware_update_request_nacked.
    void set_refuse_update_request(bool refuse);
    // A firmware_update is answered with firmware_update_failed, however sound it is.
    void set_fail_update(bool fail);

    // ---- Misbehaving exports ----

    // Every export request gets its answer (a preset or a refusal) twice, one after the other.
    void set_answer_exports_twice(bool twice);
    // Every export request, whatever index it asks for, is answered as if it asked for `slot`
    // (an empty slot: refused); std::nullopt answers each index again.
    void set_fixed_export_slot(std::optional<int> slot);

    // ---- The way answers go out ----

    // No answer at all; requests are still recorded.
    void set_silent(bool silent);
    bool is_silent() const noexcept { return silent; }
    // No answer to one kind of request.
    void set_silent_to(protocol::command request, bool silent);
    // Every answer goes out this many milliseconds after its request has arrived.
    void set_answer_delay(int milliseconds);
    // The next answer stops after its first `bytes` bytes (counted as they go out, real-time
    // bytes included); after it the synthesizer falls silent (set_silent(false) revives it).
    void stop_next_answer_after(int bytes);
    // The next answer goes out with one byte changed. The tool has no checksum on presets, so
    // this is the nearest thing to a bad CRC: when the answer has a body of more than
    // `body_index` bytes, the low bit of that body byte is flipped (for a preset export: one
    // nibble of the serialized preset); otherwise the model id 04 becomes 05, so the message
    // is no longer the Vortan's.
    void corrupt_next_answer(int body_index = 0);
    // Answers go out in chunks of `bytes` bytes (0: whole), each written separately, with
    // `gap_milliseconds` on the event loop between two chunks, so the reader sees several
    // readyRead signals.
    void set_chunk_size(int bytes, int gap_milliseconds = 1);
    // A real-time byte (F8 and FE in turn) between every two bytes of each answer.
    void set_interleave_realtime(bool interleave);

    // ---- Vanishing: the master end is closed, the serial end sees a hang-up ----

    void vanish();
    // Vanishes when the count-th message from now has been received, before answering it.
    void vanish_after_messages(int count);
    // Vanishes once `count` more bytes have been received (a firmware image in mid-flight).
    void vanish_after_bytes(qint64 count);
    bool has_vanished() const noexcept;

    // Throws away every answer the serial end has not read yet: those still queued here and
    // those already waiting in the pseudo-terminal. Like the output of a real device, an answer
    // written while nobody has the serial end open otherwise waits there and is read by the
    // next one to open it.
    void discard_unread();

    // ---- Records ----

    // Every message received with the Vortan header, in order.
    const std::vector<message>& messages() const noexcept { return received_messages; }
    // Bytes read from the pseudo-terminal, real-time and stray bytes included.
    qint64 bytes_received() const noexcept { return received_bytes; }
    // Bytes written to the pseudo-terminal.
    qint64 bytes_sent() const noexcept { return sent_bytes; }
    // The last firmware_update message as received, F0 to F7, and what the check found.
    const QByteArray& firmware_image() const noexcept { return last_firmware; }
    std::optional<firmware_verdict> firmware_check() const noexcept { return last_verdict; }
    // Forgets the messages, counters and firmware image received so far.
    void clear_records();

signals:
    // A message with the Vortan header has been received (before it is answered).
    void received(quillmar::standin::message m);
    // An answer has been written to the pseudo-terminal in full, as it went out.
    void answered(QByteArray bytes);
    // The master end has been closed.
    void vanished();

private:
    void on_readable();
    void on_writable();
    void consume(const char* bytes, int size);
    void on_message(const message& m);
    void handle(const message& m);
    void answer_export(const message& m);
    void answer_import(const message& m);
    void answer_firmware(const message& m);
    void answer(protocol::command request, QByteArray bytes);
    void enqueue(const QByteArray& bytes);
    void resume_writing();

    // One piece of output, written in one go (as far as the pseudo-terminal takes it).
    struct chunk {
        QByteArray bytes;
        // Pause on the event loop before the next chunk.
        bool pause_after = false;
        // The whole answer when this is its last chunk, for answered().
        std::optional<QByteArray> completes;
    };

    pty_pair pty;
    std::unique_ptr<device_framer> framer;
    // Declared after the pair so they go before it.
    std::unique_ptr<QSocketNotifier> read_notifier;
    std::unique_ptr<QSocketNotifier> write_notifier;
    QTimer chunk_gap;

    std::array<std::optional<QByteArray>, preset_slot_count> memory;

    std::set<int> refused_exports;
    bool refuse_imports = false;
    std::set<std::uint32_t> refused_import_ids;
    bool refuse_update_request = false;
    bool fail_update = false;
    bool answer_exports_twice = false;
    std::optional<int> fixed_export_slot;
    bool silent = false;
    std::set<protocol::command> silent_requests;
    int answer_delay = 0;
    std::optional<int> stop_after;
    std::optional<int> corrupt_at;
    int chunk_size = 0;
    bool interleave_realtime = false;
    qint64 vanish_bytes_left = 0;
    int vanish_messages_left = 0;

    std::deque<chunk> outbox;
    int front_written = 0;

    std::vector<message> received_messages;
    qint64 received_bytes = 0;
    qint64 sent_bytes = 0;
    QByteArray last_firmware;
    std::optional<firmware_verdict> last_verdict;

    // Read buffer, reused for every read.
    std::array<char, 65536> input{};
};

} // namespace quillmar::standin
