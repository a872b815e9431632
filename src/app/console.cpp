#include "app/console.hpp"

#include <utility>

#include "app/config.hpp"
#include "app/console_platform.hpp"
#include "common/exception.hpp"

namespace {
constexpr std::string_view lineEnd = "\r\n";
// A line longer than this (a listing of values) is written in pieces.
constexpr std::size_t bufferCapacity = 4096;

ErrorBoxHandler& boxHandler()
{
    static ErrorBoxHandler handler;
    return handler;
}
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
    endOfLine();
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
    endOfLine();
    return *this;
}

void ConsoleStream::endOfLine() noexcept
{
    // A whole line goes out at once, to a terminal, a pipe or a file alike, so that a person
    // or a log following the run sees each step as it happens. A refused write is kept for
    // the status (failed()) instead of raised: the run goes on, and what it does on the
    // server matters more than its lines.
    try {
        flush();
    } catch (...) {
    }
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
    if (sink_->write(pending, error)) return;
    failed_ = true;
    throw IOException(name_ + " :: " + error);
}

ConsoleStream::Sink* ConsoleStream::setSink(Sink* sink)
{
    flush();
    failed_ = false;
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
    if (!config().boxes || !platform::showNativeBox(message, title)) {
        standardError().writeLine("{}: {}", {title, message});
        standardError().flush();
    }
    return false;
}

ErrorBoxHandler setErrorBoxHandler(ErrorBoxHandler handler) { return std::exchange(boxHandler(), std::move(handler)); }
