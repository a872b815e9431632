#pragma once
// Text helpers every layer uses: "{}" placeholders and control characters made visible.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

// One value for a placeholder: integers in decimal, text as is, truth values as true/false.
class FormatValue {
public:
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
    FormatValue(T v)
    {
        if constexpr (std::is_signed_v<T>) value_ = static_cast<std::int64_t>(v);
        else value_ = static_cast<std::uint64_t>(v);
    }
    FormatValue(bool v) : value_(v) {}
    FormatValue(std::string_view v) : value_(std::string(v)) {}
    FormatValue(const std::string& v) : value_(v) {}
    FormatValue(const char* v) : value_(std::string(v ? v : "")) {}

    std::string text() const;

private:
    std::variant<std::int64_t, std::uint64_t, bool, std::string> value_;
};

// Fills the placeholders of `format`: "{}" takes the next value, "{{" is one "{",
// a "{}" with no value left is "{invalid index}", an unclosed "{" is "{malformed format}".
std::string formatText(std::string_view format, const std::vector<FormatValue>& values);

// `text` with every control character but tab written visibly ("\r", "\n", "\x1B"), so
// that text from a server or a file name can neither break a line nor drive the terminal.
std::string visibleText(std::string_view text);
