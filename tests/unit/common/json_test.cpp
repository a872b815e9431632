#include <gtest/gtest.h>

#include <string>

#include "common/json.hpp"

TEST(Json, StringsEscapedAndAlwaysValidUtf8)
{
    using namespace std::string_literals;
    EXPECT_EQ(jsonString("a\"b\\c/d"), R"("a\"b\\c/d")");
    EXPECT_EQ(jsonString("\n\r\t\b\f\x01\x1f\x7f"s + '\0'), R"("\n\r\t\b\f\u0001\u001f)" "\x7f" R"(\u0000")");
    // Well-formed UTF-8 up to U+10FFFF stands as it is.
    EXPECT_EQ(jsonString("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"),
              "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"");
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> bad[] = {
        {"\x80", fffd},                                    // stray continuation
        {"\xC0\xAF", fffd + fffd},                         // overlong "/"
        {"\xE0\x80\xAF", fffd + fffd + fffd},              // overlong, three bytes
        {"\xED\xA0\x80", fffd + fffd + fffd},              // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},   // past U+10FFFF
        {"\xF5\x80", fffd + fffd},
        {"a\xC3", "a" + fffd},                             // cut at the end
        {"\xE2\x82x", fffd + fffd + "x"},                  // cut before an ASCII byte
        {"\xFF\"", fffd + "\\\""},
    };
    for (const auto& [in, out] : bad) EXPECT_EQ(jsonString(in), "\"" + out + "\"") << out.size();
}

TEST(Json, WriterPlacesCommasAndIndents)
{
    JsonWriter json;
    json.beginObject();
    json.key("name");
    json.value("a\"b");
    json.key("files");
    json.beginArray();
    json.value(std::uint64_t{18446744073709551615u});
    json.value(std::int64_t{-1});
    json.value(std::size_t{3});
    json.beginObject();
    json.endObject();
    json.endArray();
    json.key("empty");
    json.beginArray();
    json.endArray();
    json.key("ok");
    json.value(true);
    json.endObject();
    EXPECT_EQ(json.text(), "{\n"
                           "  \"name\": \"a\\\"b\",\n"
                           "  \"files\": [\n"
                           "    18446744073709551615,\n"
                           "    -1,\n"
                           "    3,\n"
                           "    {}\n"
                           "  ],\n"
                           "  \"empty\": [],\n"
                           "  \"ok\": true\n"
                           "}");
}
