#include "preset_text.h"
#include "vortan_log.h"

#include <QtGlobal>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/unknown_field_set.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace {

namespace pb = google::protobuf;
using pb::io::Tokenizer;

// Nesting the scanner follows inside one by-number entry ("24 { 3 { 1: 5 } }"). The printer
// nests length-delimited fields ten levels deep, but groups as deep as the binary parser took
// them, which its recursion limit of 100 levels (counted from the preset) bounds.
constexpr std::size_t unknown_nesting_limit = 128;
static_assert(unknown_nesting_limit > 100,
              "The reader must follow every nesting of unknown fields the binary parser accepts.");

// Nesting of named sub-messages the scanner follows; the preset schema nests three deep.
constexpr std::size_t message_nesting_limit = 64;
static_assert(message_nesting_limit >= 3,
              "The reader must follow the deepest message of the preset schema.");

// Field numbers the wire format can carry.
constexpr std::uint64_t max_field_number = (std::uint64_t{1} << 29) - 1;
static_assert(max_field_number <= std::uint64_t{std::numeric_limits<int>::max()},
              "Every field number must fit the int the unknown field set takes.");

// Column width of a tab in the tokenizer's token positions.
constexpr int tokenizer_tab_width = 8;

// The printer writes a fixed32 as "0x" and 8 hex digits, a fixed64 as "0x" and 16.
constexpr std::size_t fixed32_text_size = 2 + 8;
constexpr std::size_t fixed64_text_size = 2 + 16;

class quiet_errors final : public pb::io::ErrorCollector {
public:
    // The stock parser reports the same errors when it reads the text afterwards.
    void AddError(int, pb::io::ColumnNumber, const std::string&) override {}
};

// The parser's report on a preset text: errors go to the log, line and column counted from
// 1. Warnings are dropped: the schema's deprecated fields would raise one in nearly every
// file, and reading them is just what the tool must do.
class parse_report final : public pb::io::ErrorCollector {
public:
    void AddError(int line, pb::io::ColumnNumber column, const std::string& message) override {
        qCWarning(quillmar::vortan_log, "Preset text %d:%d: %s", line + 1, column + 1,
                  message.c_str());
    }
    void AddWarning(int, pb::io::ColumnNumber, const std::string&) override {}
};

// One step from a message into a sub-message: the field and the element's position among the
// entries of that field in the message (0 for a singular field).
struct path_step {
    const pb::FieldDescriptor* field;
    int index;
};

// The unknown fields found in one message of the text.
struct found_unknowns {
    std::vector<path_step> path;
    // On the heap: an unknown field set can be neither copied nor moved.
    std::unique_ptr<pb::UnknownFieldSet> fields;
};

// Finds the by-number entries of a preset text.
//
// A recursive descent over the tokenizer's tokens, with the schema at hand. In a message body
// a name token starts a named entry: the scanner looks the field up, follows a sub-message
// into its body (remembering field and element as a path step) and steps over a scalar value
// or a list. An integer token starts a by-number entry: "N: value" (decimal varint, "0x" with
// 8 or 16 digits for fixed32 / fixed64, one or more strings for length-delimited) or
// "N { ... }" holding by-number entries only, which becomes a length-delimited field with that
// content. Each complete by-number entry is added to its message's unknown fields and its
// bytes are noted for blanking. Anything else (an unknown name, a malformed value, the end of
// the text inside a message) stops the scan; the text from there on stays as it is.
class by_number_scanner {
public:
    explicit by_number_scanner(const std::string& text)
        : text_(text), input_(text.data(), static_cast<int>(text.size())),
          tokenizer_(&input_, &errors_) {
        // The stock parser's tokenizer settings, so both see the same tokens.
        tokenizer_.set_allow_f_after_float(true);
        tokenizer_.set_comment_style(Tokenizer::SH_COMMENT_STYLE);
        line_starts_.push_back(0);
        for (std::size_t i = 0; i < text_.size(); ++i) {
            if (text_[i] == '\n') {
                line_starts_.push_back(i + 1);
            }
        }
        tokenizer_.Next();
    }

    void run(const pb::Descriptor* root) { body(root, {}); }

    // The unknown fields found, message by message in text order.
    std::vector<found_unknowns> found;
    // Byte ranges [first, last) of the by-number entries taken out of the text.
    std::vector<std::pair<std::size_t, std::size_t>> taken;

private:
    const Tokenizer::Token& current() { return tokenizer_.current(); }
    bool at(Tokenizer::TokenType type) { return current().type == type; }
    bool at_symbol(std::string_view symbol) {
        return at(Tokenizer::TYPE_SYMBOL) && current().text == symbol;
    }

    // Byte offset of the current token. Tokens come in text order, so the walk goes on from
    // the previous position when it stays on the same line.
    std::size_t offset_of_current() {
        const auto& token = current();
        const auto line = static_cast<std::size_t>(token.line);
        if (line >= line_starts_.size()) {
            return text_.size();
        }
        if (line != cursor_line_ || token.column < cursor_column_) {
            cursor_line_ = line;
            cursor_column_ = 0;
            cursor_offset_ = line_starts_[line];
        }
        while (cursor_column_ < token.column && cursor_offset_ < text_.size()) {
            cursor_column_ =
                text_[cursor_offset_] == '\t'
                    ? cursor_column_ + tokenizer_tab_width - cursor_column_ % tokenizer_tab_width
                    : cursor_column_ + 1;
            ++cursor_offset_;
        }
        return cursor_offset_;
    }

    void advance() {
        last_end_ = offset_of_current() + current().text.size();
        tokenizer_.Next();
    }

    bool try_symbol(std::string_view symbol) {
        if (!at_symbol(symbol)) {
            return false;
        }
        advance();
        return true;
    }

    void skip_separator() {
        if (!try_symbol(";")) {
            try_symbol(",");
        }
    }

    // The closing symbol of a message body opened by the current token, or nothing.
    std::string_view opening() {
        if (at_symbol("{")) {
            return "}";
        }
        if (at_symbol("<")) {
            return ">";
        }
        return {};
    }

    // A message body up to (not including) `closer`; the root body runs to the end.
    bool body(const pb::Descriptor* type, std::string_view closer) {
        std::map<const pb::FieldDescriptor*, int> seen;
        std::size_t found_here = std::numeric_limits<std::size_t>::max();
        for (;;) {
            if (at(Tokenizer::TYPE_END)) {
                return closer.empty();
            }
            if (!closer.empty() && at_symbol(closer)) {
                return true;
            }
            if (at(Tokenizer::TYPE_IDENTIFIER)) {
                if (!named_entry(type, seen)) {
                    return false;
                }
                continue;
            }
            if (!at(Tokenizer::TYPE_INTEGER)) {
                return false;
            }
            const std::size_t first = offset_of_current();
            pb::UnknownFieldSet entry;
            if (!by_number_entry(entry, 0)) {
                return false;
            }
            skip_separator();
            taken.emplace_back(first, last_end_);
            if (found_here == std::numeric_limits<std::size_t>::max()) {
                found_here = found.size();
                found.push_back({path_, std::make_unique<pb::UnknownFieldSet>()});
            }
            found[found_here].fields->MergeFrom(entry);
        }
    }

    bool named_entry(const pb::Descriptor* type, std::map<const pb::FieldDescriptor*, int>& seen) {
        const pb::FieldDescriptor* field = type->FindFieldByName(current().text);
        if (field == nullptr) {
            return false;
        }
        advance();
        const bool is_message = field->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE;
        const bool colon = try_symbol(":");
        if (!is_message && !colon) {
            return false;
        }
        auto element = [&] { return is_message ? sub_message(field, seen) : scalar(); };
        if (try_symbol("[")) {
            if (!try_symbol("]")) {
                do {
                    if (!element()) {
                        return false;
                    }
                } while (try_symbol(","));
                if (!try_symbol("]")) {
                    return false;
                }
            }
        } else if (!element()) {
            return false;
        }
        skip_separator();
        return true;
    }

    bool sub_message(const pb::FieldDescriptor* field,
                     std::map<const pb::FieldDescriptor*, int>& seen) {
        const std::string_view closer = opening();
        if (closer.empty() || path_.size() >= message_nesting_limit) {
            return false;
        }
        advance();
        path_.push_back({field, seen[field]++});
        const bool followed = body(field->message_type(), closer);
        path_.pop_back();
        if (!followed) {
            return false;
        }
        advance();
        return true;
    }

    bool scalar() {
        if (at(Tokenizer::TYPE_STRING)) {
            while (at(Tokenizer::TYPE_STRING)) {
                advance();
            }
            return true;
        }
        try_symbol("-");
        if (at(Tokenizer::TYPE_INTEGER) || at(Tokenizer::TYPE_FLOAT) ||
            at(Tokenizer::TYPE_IDENTIFIER)) {
            advance();
            return true;
        }
        return false;
    }

    bool by_number_entry(pb::UnknownFieldSet& into, std::size_t depth) {
        std::uint64_t number = 0;
        if (!at(Tokenizer::TYPE_INTEGER) ||
            !Tokenizer::ParseInteger(current().text, max_field_number, &number) || number == 0) {
            return false;
        }
        const int field_number = static_cast<int>(number);
        advance();
        const bool colon = try_symbol(":");
        if (const std::string_view closer = opening(); !closer.empty()) {
            if (depth >= unknown_nesting_limit) {
                return false;
            }
            advance();
            pb::UnknownFieldSet nested;
            while (!at_symbol(closer)) {
                if (!by_number_entry(nested, depth + 1)) {
                    return false;
                }
                skip_separator();
            }
            advance();
            std::string bytes;
            nested.SerializeToString(&bytes);
            into.AddLengthDelimited(field_number, bytes);
            return true;
        }
        if (!colon) {
            return false;
        }
        if (at(Tokenizer::TYPE_STRING)) {
            std::string bytes;
            while (at(Tokenizer::TYPE_STRING)) {
                Tokenizer::ParseStringAppend(current().text, &bytes);
                advance();
            }
            into.AddLengthDelimited(field_number, bytes);
            return true;
        }
        if (!at(Tokenizer::TYPE_INTEGER)) {
            return false;
        }
        const std::string& text = current().text;
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        std::uint64_t value = 0;
        if (hex && text.size() == fixed32_text_size) {
            if (!Tokenizer::ParseInteger(text, std::numeric_limits<std::uint32_t>::max(), &value)) {
                return false;
            }
            into.AddFixed32(field_number, static_cast<std::uint32_t>(value));
        } else if (hex && text.size() == fixed64_text_size) {
            if (!Tokenizer::ParseInteger(text, std::numeric_limits<std::uint64_t>::max(), &value)) {
                return false;
            }
            into.AddFixed64(field_number, value);
        } else if (!hex && Tokenizer::ParseInteger(text, std::numeric_limits<std::uint64_t>::max(),
                                                   &value)) {
            into.AddVarint(field_number, value);
        } else {
            return false;
        }
        advance();
        return true;
    }

    const std::string& text_;
    pb::io::ArrayInputStream input_;
    quiet_errors errors_;
    Tokenizer tokenizer_;
    std::vector<std::size_t> line_starts_;
    std::size_t cursor_line_ = std::numeric_limits<std::size_t>::max();
    int cursor_column_ = 0;
    std::size_t cursor_offset_ = 0;
    std::size_t last_end_ = 0;
    std::vector<path_step> path_;
};

// The message a path leads to in what the parser built, or null when the parser did not get
// that far.
pb::Message* follow(pb::Message* message, const std::vector<path_step>& path) {
    for (const path_step& step : path) {
        const pb::Reflection* reflection = message->GetReflection();
        if (step.field->is_repeated()) {
            if (step.index >= reflection->FieldSize(*message, step.field)) {
                return nullptr;
            }
            message = reflection->MutableRepeatedMessage(message, step.field, step.index);
        } else {
            if (step.index != 0 || !reflection->HasField(*message, step.field)) {
                return nullptr;
            }
            message = reflection->MutableMessage(message, step.field);
        }
    }
    return message;
}

} // namespace

std::string print_preset(const proto::Preset& preset) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(preset, &text);
    return text;
}

bool parse_preset_text(const std::string& text, proto::Preset& preset) {
    by_number_scanner scanner(text);
    scanner.run(proto::Preset::descriptor());

    // Blank the by-number entries (line feeds stay, so the parser's positions stay right).
    std::string rest = text;
    for (const auto& [first, last] : scanner.taken) {
        for (std::size_t i = first; i < last && i < rest.size(); ++i) {
            if (rest[i] != '\n') {
                rest[i] = ' ';
            }
        }
    }

    pb::TextFormat::Parser parser;
    parse_report report;
    parser.RecordErrorsTo(&report);
    const bool complete = parser.ParseFromString(rest, &preset);
    for (const found_unknowns& found : scanner.found) {
        if (pb::Message* message = follow(&preset, found.path)) {
            message->GetReflection()->MutableUnknownFields(message)->MergeFrom(*found.fields);
        }
    }
    return complete;
}
