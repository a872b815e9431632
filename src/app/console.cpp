#include "app/console.hpp"

#include <utility>

#include "app/console_platform.hpp"
#include "common/exception.hpp"

namespace {
constexpr std::string_view lineEnd = "\r\n";
// Redirected output is written in pieces of about this size.
constexpr std::size_t bufferCapacity = 4096;

ErrorBoxHandler& boxHandler()
{
    static ErrorBoxHandler handler;
    return handler;
}
}

std::string FormatValue::text() const
{
    if (auto v = std::get_if<std::int64_t>(&value_)) return std::to_string(*v);
    if (auto v = std::get_if<std::uint64_t>(&value_)) return std::to_string(*v);
    if (auto v = std::get_if<bool>(&value_)) return *v ? "true" : "false";
    return std::get<std::string>(value_);
}

std::string visibleText(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte != 0x7F) || c == '\t') {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

std::string formatText(std::string_view format, const std::vector<FormatValue>& values)
{
    std::string out;
    out.reserve(format.size());
    std::size_t nextValue = 0;
    std::size_t at = 0;
    while (at < format.size()) {
        char c = format[at];
        if (c != '{') {
            out += c;
            ++at;
            continue;
        }
        if (at + 1 < format.size() && format[at + 1] == '{') {
            out += '{';
            at += 2;
            continue;
        }
        std::size_t close = format.find('}', at + 1);
        if (close == std::string_view::npos) {
            out += "{malformed format}";
            break;
        }
        std::string_view inside = format.substr(at + 1, close - at - 1);
        std::size_t index = nextValue;
        if (!inside.empty()) {
            // Only an explicit argument number is understood besides the plain form.
            bool digits = inside.size() <= 9;
            for (char d : inside) digits = digits && d >= '0' && d <= '9';
            if (!digits) {
                out += "{malformed format}";
                at = close + 1;
                continue;
            }
            index = std::stoul(std::string(inside));
        } else {
            ++nextValue;
        }
        out += index < values.size() ? values[index].text() : std::string("{invalid index}");
        at = close + 1;
    }
    return out;
}

ConsoleStream::ConsoleStream(std::string name, Sink* sink) : name_(std::move(name)), sink_(sink) {}

ConsoleStream::~ConsoleStream()
{
    try {
        flush();
    } catch (...) {
        // Nothing is left to report a failure to at this point.
    }
}

ConsoleStream& ConsoleStream::writeLine(std::string_view format, const std::vector<FormatValue>& values)
{
    std::vector<FormatValue> shown;
    shown.reserve(values.size());
    for (const FormatValue& value : values) shown.emplace_back(visibleText(value.text()));
    std::string line = formatText(format, shown);
    line += lineEnd;
    append(line);
    if (sink_ && sink_->interactive()) flush();
    return *this;
}

ConsoleStream& ConsoleStream::writeValue(const FormatValue& value)
{
    append(value.text());
    return *this;
}

ConsoleStream& ConsoleStream::endLine()
{
    append(lineEnd);
    if (sink_ && sink_->interactive()) flush();
    return *this;
}

void ConsoleStream::append(std::string_view text)
{
    buffer_ += text;
    if (buffer_.size() >= bufferCapacity) flush();
}

void ConsoleStream::flush()
{
    if (!sink_) {
        buffer_.clear();  // nowhere to write
        return;
    }
    if (buffer_.empty()) return;
    // Taken out first: a refused write must not be retried with the same bytes forever.
    std::string pending = std::move(buffer_);
    buffer_.clear();
    std::string error;
    if (!sink_->write(pending, error)) throw IOException(name_ + " :: " + error);
}

ConsoleStream::Sink* ConsoleStream::setSink(Sink* sink)
{
    flush();
    return std::exchange(sink_, sink);
}

ConsoleStream& standardOutput()
{
    static ConsoleStream stream("stdout", &platform::standardOutputSink());
    return stream;
}

ConsoleStream& standardError()
{
    static ConsoleStream stream("stderr", &platform::standardErrorSink());
    return stream;
}

bool showErrorBox(const std::string& message, const std::string& title)
{
    // Whatever was written before the failure must be visible before its box.
    standardOutput().flush();
    if (boxHandler()) {
        boxHandler()(message, title);
        return false;
    }
    if (!platform::showNativeBox(message, title)) {
        standardError().writeLine("{}: {}", {title, message});
        standardError().flush();
    }
    return false;
}

ErrorBoxHandler setErrorBoxHandler(ErrorBoxHandler handler) { return std::exchange(boxHandler(), std::move(handler)); }
