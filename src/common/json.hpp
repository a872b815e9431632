#pragma once
// JSON text for the run report: strings made safe, and one object built in order.
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// `text` as a quoted JSON string. Bytes that are not UTF-8 (file names from a server or
// an old disk) each become U+FFFD, so the report stays valid JSON whatever it holds.
std::string jsonString(std::string_view text);

// Writes one value, indented by two spaces a level. Commas and indents are its own; the
// caller keeps to the grammar (a key before each value inside an object).
class JsonWriter {
public:
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view name);
    void value(std::string_view text);
    void value(const char* text) { value(std::string_view(text)); }
    void value(std::int64_t number);
    void value(std::uint64_t number);
    // Any other integer (int, std::size_t) without an ambiguous call on either platform.
    template <class T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
    void value(T number)
    {
        if constexpr (std::is_signed_v<T>) value(static_cast<std::int64_t>(number));
        else value(static_cast<std::uint64_t>(number));
    }
    void value(bool truth);
    const std::string& text() const { return text_; }

private:
    void beforeValue();
    void open(char bracket);
    void close(char bracket);
    void newline();

    std::string text_;
    // One entry a level open: whether it already holds an item.
    std::vector<bool> filled_;
    bool afterKey_ = false;
};
