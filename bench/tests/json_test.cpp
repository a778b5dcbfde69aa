// The JSON writer and parser: reports are written with one and checked with
// the other, so both must be exact.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json.h"

using kivbench::Json;

TEST(Json, NestedDocumentSurvivesDumpAndParse) {
    Json j = Json::object();
    j["name"] = "pw-ssha";
    j["rate"] = 10234.5;
    j["count"] = 100000;
    j["ok"] = true;
    j["none"] = Json();
    Json &list = j["list"];
    list = Json::array();
    list.push(1);
    list.push("two");
    list.push(Json::object());
    j["nested"]["deeper"]["p99"] = 0.125;

    std::string error;
    auto back = Json::parse(j.dump(), &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->find("name")->string(), "pw-ssha");
    EXPECT_DOUBLE_EQ(back->find("rate")->number(), 10234.5);
    EXPECT_DOUBLE_EQ(back->find("count")->number(), 100000);
    EXPECT_TRUE(back->find("ok")->boolean());
    EXPECT_EQ(back->find("none")->type(), Json::Type::Null);
    ASSERT_EQ(back->find("list")->size(), 3u);
    EXPECT_EQ(back->find("list")->at(1).string(), "two");
    EXPECT_TRUE(back->find("list")->at(2).isObject());
    ASSERT_NE(kivbench::jsonPath(*back, "nested.deeper.p99"), nullptr);
    EXPECT_DOUBLE_EQ(kivbench::jsonPath(*back, "nested.deeper.p99")->number(), 0.125);
    EXPECT_EQ(kivbench::jsonPath(*back, "nested.missing.p99"), nullptr);
    // Members keep the order they were added in.
    EXPECT_EQ(back->keys().front(), "name");
    EXPECT_EQ(back->keys().back(), "nested");
}

TEST(Json, StringsWithControlCharactersAndUnicodeRoundTrip) {
    const std::string tricky = std::string("quote \" backslash \\ newline \n tab \t bell \x07 nul ") + '\0' +
                               " end \xc3\xa9";
    Json j = Json::object();
    j["s"] = tricky;
    std::string text = j.dump();
    // Nothing below 0x20 may appear raw inside the document.
    for (char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n') << static_cast<int>(c);
    std::string error;
    auto back = Json::parse(text, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->find("s")->string(), tricky);

    auto escaped = Json::parse(R"(["\u00e9\ud83d\ude00\/"])", &error);
    ASSERT_TRUE(escaped) << error;
    EXPECT_EQ(escaped->at(0).string(), "\xc3\xa9\xf0\x9f\x98\x80/");
}

TEST(Json, MalformedDocumentsAreRefused) {
    for (const char *bad : {"", "{", "{\"a\":1,}", "[1,]", "[1 2]", "{\"a\" 1}", "{a:1}", "\"open", "01", "1.",
                            "-", "1e", "tru", "nul", "[\"\\x\"]", "[\"\\ud800\"]", "[\"\\udc00\"]",
                            "[\"a\nb\"]", "{\"a\":1,\"a\":2}", "{} x", "[1]]"}) {
        std::string error;
        EXPECT_FALSE(Json::parse(bad, &error)) << "accepted: " << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    std::string deep(200, '[');
    deep += std::string(200, ']');
    std::string error;
    EXPECT_FALSE(Json::parse(deep, &error)) << "nesting beyond the limit must be refused";
}

TEST(Json, NumbersPrintExactlyOrAsNull) {
    Json j = Json::array();
    j.push(42);
    j.push(-7);
    j.push(0.5);
    j.push(std::numeric_limits<double>::quiet_NaN());
    j.push(std::numeric_limits<double>::infinity());
    std::string text = j.dump();
    EXPECT_NE(text.find("42"), std::string::npos);
    EXPECT_EQ(text.find("42.0"), std::string::npos);
    std::string error;
    auto back = Json::parse(text, &error);
    ASSERT_TRUE(back) << error << "\n" << text;
    EXPECT_DOUBLE_EQ(back->at(1).number(), -7);
    EXPECT_DOUBLE_EQ(back->at(2).number(), 0.5);
    EXPECT_EQ(back->at(3).type(), Json::Type::Null);
    EXPECT_EQ(back->at(4).type(), Json::Type::Null);
    auto exp = Json::parse("[-0.0, 1E3, 2.5e-2]", &error);
    ASSERT_TRUE(exp) << error;
    EXPECT_DOUBLE_EQ(exp->at(1).number(), 1000);
    EXPECT_DOUBLE_EQ(exp->at(2).number(), 0.025);
}
