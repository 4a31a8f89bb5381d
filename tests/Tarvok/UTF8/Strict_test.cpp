#include "Tarvok/UTF8/Strict.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "Tarvok/Encoder/ASCII.hpp"
#include "Tarvok/Error.hpp"

using Tarvok::UTF8::Strict::decode;
using Tarvok::UTF8::Strict::is_well_formed;

TEST(StrictUtf8, AcceptsEveryEncodingLength) {
    for (const char* text : {"", "plain ascii", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                             "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80"}) {
        EXPECT_TRUE(is_well_formed(text)) << Tarvok::Encoder::ASCII::to_hex(text);
    }
    EXPECT_TRUE(is_well_formed(std::string_view("a\0b", 3)));
}

TEST(StrictUtf8, RefusesWhatIsNotTheShortestValidForm) {
    for (const char* text :
         {"caf\xE9",               // Latin-1
          "\x80",                  // stray continuation
          "\xC3",                  // cut short
          "\xE2\x82",              // cut short
          "\xC3\x41",              // continuation missing
          "\xC0\x80", "\xC1\xBF",  // overlong
          "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80", "\xED\xBF\xBF",  // surrogates
          "\xF4\x90\x80\x80",                                                  // above U+10FFFF
          "\xF8\x88\x80\x80\x80", "\xFF"}) {
        EXPECT_FALSE(is_well_formed(text)) << Tarvok::Encoder::ASCII::to_hex(text);
    }
}

TEST(StrictUtf8, DecodeReturnsGoodTextAndRaisesWithHexForBadText) {
    std::string good = "caf\xC3\xA9";
    EXPECT_EQ(&decode(good), &good);
    EXPECT_EQ(good, "caf\xC3\xA9");

    std::string bad = "caf\xE9";
    errno = ENOENT;
    try {
        decode(bad);
        FAIL() << "no error";
    } catch (const Tarvok::Error& e) {
        EXPECT_NE(std::string(e.what()).find("636166e9"), std::string::npos) << e.what();
    }
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(bad, "caf\xE9");
}

TEST(AsciiHex, TwoLowerCaseDigitsPerByte) {
    EXPECT_EQ(Tarvok::Encoder::ASCII::to_hex(""), "");
    EXPECT_EQ(Tarvok::Encoder::ASCII::to_hex(std::string_view("\x00\x0F\xA0\xFF", 4)), "000fa0ff");
}
