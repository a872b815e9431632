#include "common/json.hpp"

#include "common/utf8.hpp"

std::string jsonString(std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, at);
            if (length == 0) {
                out += "\xEF\xBF\xBD";
                ++at;
            } else {
                out.append(text.substr(at, length));
                at += length;
            }
            continue;
        }
        ++at;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out += hex[byte >> 4];
                out += hex[byte & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

void JsonWriter::newline()
{
    text_ += '\n';
    text_.append(2 * filled_.size(), ' ');
}

void JsonWriter::beforeValue()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (filled_.empty()) return;
    if (filled_.back()) text_ += ',';
    filled_.back() = true;
    newline();
}

void JsonWriter::open(char bracket)
{
    beforeValue();
    text_ += bracket;
    filled_.push_back(false);
}

void JsonWriter::close(char bracket)
{
    if (filled_.empty()) return;
    const bool filled = filled_.back();
    filled_.pop_back();
    if (filled) newline();
    text_ += bracket;
}

void JsonWriter::beginObject() { open('{'); }
void JsonWriter::endObject() { close('}'); }
void JsonWriter::beginArray() { open('['); }
void JsonWriter::endArray() { close(']'); }

void JsonWriter::key(std::string_view name)
{
    beforeValue();
    text_ += jsonString(name);
    text_ += ": ";
    afterKey_ = true;
}

void JsonWriter::value(std::string_view text)
{
    beforeValue();
    text_ += jsonString(text);
}

void JsonWriter::value(std::int64_t number)
{
    beforeValue();
    text_ += std::to_string(number);
}

void JsonWriter::value(std::uint64_t number)
{
    beforeValue();
    text_ += std::to_string(number);
}

void JsonWriter::value(bool truth)
{
    beforeValue();
    text_ += truth ? "true" : "false";
}
