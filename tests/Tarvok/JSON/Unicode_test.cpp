#include "Tarvok/JSON/Unicode.hpp"

#include <gtest/gtest.h>

#include "Tarvok/Error.hpp"

using Tarvok::JSON::Unicode::replace_unicode_escapes_with_utf8;

namespace {

// The text after the pass, or "error: ..." when the pass raised.
std::string rewritten(std::string text) {
    try {
        replace_unicode_escapes_with_utf8(text);
        return text;
    } catch (const Tarvok::Error& e) {
        return std::string("error: ") + e.what();
    }
}

}  // namespace

TEST(UnicodePrePass, CharactersBecomeTheirUtf8Bytes) {
    EXPECT_EQ(rewritten(R"("caf\u00e9")"), "\"caf\xC3\xA9\"");
    EXPECT_EQ(rewritten(R"("\u0041\u20AC\uffff")"), "\"A\xE2\x82\xAC\xEF\xBF\xBF\"");
    EXPECT_EQ(rewritten(R"("\uD83D\uDE00")"), "\"\xF0\x9F\x98\x80\"");
    EXPECT_EQ(rewritten(R"("\udbff\udfff")"), "\"\xF4\x8F\xBF\xBF\"");
}

TEST(UnicodePrePass, CountsEveryEscapeIncludingTheOnesKept) {
    std::string text = R"(["\u00e9", "\u0022\u005C\u0000\u001f", "\uD83D\uDE00"])";
    EXPECT_EQ(replace_unicode_escapes_with_utf8(text), 7u);
    EXPECT_EQ(text, "[\"\xC3\xA9\", \"\\u0022\\u005C\\u0000\\u001f\", \"\xF0\x9F\x98\x80\"]");
}

TEST(UnicodePrePass, QuotesBackslashesAndControlCharactersStayEscaped) {
    for (const char* kept :
         {R"(\u0022)", R"(\u005c)", R"(\u005C)", R"(\u0000)", R"(\u000A)", R"(\u001F)"}) {
        EXPECT_EQ(rewritten(kept), kept);
    }
    EXPECT_EQ(rewritten(R"(\u0020)"), " ");
    EXPECT_EQ(rewritten(R"(\u007f)"), "\x7F");
}

TEST(UnicodePrePass, AnEscapedBackslashNeverStartsAnEscape) {
    EXPECT_EQ(rewritten(R"("\\u0041")"), R"("\\u0041")");
    EXPECT_EQ(rewritten(R"("\\\u0041")"), R"("\\A")");
    EXPECT_EQ(rewritten(R"("\\\\u0041")"), R"("\\\\u0041")");
    EXPECT_EQ(rewritten(R"("\"\u0041")"), R"("\"A")");
}

TEST(UnicodePrePass, TextWithoutAWholeEscapeIsLeftAlone) {
    for (const char* text :
         {"", "plain", R"("\n\t")", R"(\u12G4)", R"(\u123)", R"(\U0041)", "\\", "\\u"}) {
        std::string copy = text;
        EXPECT_EQ(replace_unicode_escapes_with_utf8(copy), 0u) << text;
        EXPECT_EQ(copy, text);
    }
}

TEST(UnicodePrePass, MisplacedSurrogatesRaise) {
    // A lone trail, and a lead not directly followed by another escape, leave the text alone.
    std::string lone_trail = R"("\u00e9\uDE00")";
    EXPECT_THROW(replace_unicode_escapes_with_utf8(lone_trail), Tarvok::Error);
    EXPECT_EQ(lone_trail, R"("\u00e9\uDE00")");

    std::string lead_then_char = R"("\uD83Dx")";
    EXPECT_THROW(replace_unicode_escapes_with_utf8(lead_then_char), Tarvok::Error);
    EXPECT_EQ(lead_then_char, R"("\uD83Dx")");

    std::string lead_at_end = R"(\uD83D)";
    EXPECT_THROW(replace_unicode_escapes_with_utf8(lead_at_end), Tarvok::Error);

    std::string lead_then_escaped_backslash = R"("\uD83D\\uDE00")";
    EXPECT_THROW(replace_unicode_escapes_with_utf8(lead_then_escaped_backslash), Tarvok::Error);

    // A lead followed by an ordinary escape: that one is converted, then the lead is still
    // pending when the text ends.
    std::string lead_then_a = R"("\uD83D\u0041")";
    EXPECT_THROW(replace_unicode_escapes_with_utf8(lead_then_a), Tarvok::Error);
    EXPECT_EQ(lead_then_a, R"("A")");
}

TEST(UnicodePrePass, ErrorsNameTheSurrogate) {
    EXPECT_NE(rewritten(R"(\uDE00)").find("DE00"), std::string::npos);
    EXPECT_NE(rewritten(R"(\uD83D)").find("D83D"), std::string::npos);
    EXPECT_NE(rewritten(R"(\uD83D\u0041)").find("D83D"), std::string::npos);
}

TEST(UnicodePrePass, ALaterLeadReplacesAPendingOne) {
    EXPECT_EQ(rewritten(R"("\uD800\uD83D\uDE00")"), "\"\xF0\x9F\x98\x80\"");
}
