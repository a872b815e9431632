#pragma once
// Console lines with "{}" placeholders and the one kind of message box.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/text.hpp"

class ConsoleStream {
public:
    // Where finished bytes go; the platform layer supplies the real one, tests their own.
    struct Sink {
        virtual ~Sink() = default;
        virtual bool interactive() const = 0;
        // Writes UTF-8 bytes; false when the platform refused (the error text is then in `error`).
        virtual bool write(std::string_view utf8, std::string& error) = 0;
    };

    ConsoleStream(std::string name, Sink* sink);
    ~ConsoleStream();

    // The values are written through visibleText; the format is the program's own.
    ConsoleStream& writeLine(std::string_view format, const std::vector<FormatValue>& values);
    ConsoleStream& writeValue(const FormatValue& value);
    ConsoleStream& endLine();
    void flush();
    // A write was refused since the sink was set: what the run wrote is not all there.
    bool failed() const { return failed_; }
    // Replaces the sink (tests); returns the previous one. Buffered text is flushed first.
    Sink* setSink(Sink* sink);

private:
    void append(std::string_view text);
    void endOfLine() noexcept;
    std::string name_;
    Sink* sink_;
    std::string buffer_;
    bool failed_ = false;
};

ConsoleStream& standardOutput();
ConsoleStream& standardError();

template <class... Values>
ConsoleStream& writeLine(std::string_view format, const Values&... values)
{
    return standardOutput().writeLine(format, std::vector<FormatValue>{FormatValue(values)...});
}

inline ConsoleStream& writeValue(const FormatValue& value) { return standardOutput().writeValue(value); }

// Shows a modal error box (or, where none can be shown, the line "TITLE: MESSAGE" on
// standard error) and returns false, so that a step can end with it.
bool showErrorBox(const std::string& message, const std::string& title);

// Tests replace the box with their own recorder.
using ErrorBoxHandler = std::function<void(const std::string& message, const std::string& title)>;
ErrorBoxHandler setErrorBoxHandler(ErrorBoxHandler handler);

// Overrides for tests that undo themselves, so a failed assertion cannot leak them.
class ErrorBoxOverride {
public:
    explicit ErrorBoxOverride(ErrorBoxHandler handler) : previous_(setErrorBoxHandler(std::move(handler))) {}
    ~ErrorBoxOverride() { setErrorBoxHandler(std::move(previous_)); }
    ErrorBoxOverride(const ErrorBoxOverride&) = delete;
    ErrorBoxOverride& operator=(const ErrorBoxOverride&) = delete;

private:
    ErrorBoxHandler previous_;
};

class SinkOverride {
public:
    SinkOverride(ConsoleStream& stream, ConsoleStream::Sink* sink) : stream_(stream), previous_(stream.setSink(sink)) {}
    ~SinkOverride()
    {
        try {
            stream_.setSink(previous_);
        } catch (...) {
            // The test's own sink refused the last bytes; the real one is back regardless.
            stream_.setSink(previous_);
        }
    }
    SinkOverride(const SinkOverride&) = delete;
    SinkOverride& operator=(const SinkOverride&) = delete;

private:
    ConsoleStream& stream_;
    ConsoleStream::Sink* previous_;
};
