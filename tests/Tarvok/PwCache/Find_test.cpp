#include "Tarvok/PwCache/Find.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "Tarvok/PwCache/FindDetail.hpp"
#include "Tarvok/UniqueFd.hpp"

using Tarvok::PwCache::Find::field_with_value_in_pw_file;
using Tarvok::PwCache::Find::PW_CHUNK_SIZE;
using Fields = std::vector<std::string>;

namespace {

// An anonymous file holding `content`, positioned at its start.
Tarvok::UniqueFd file_with(const std::string& content) {
    Tarvok::UniqueFd fd(memfd_create("passwd", MFD_CLOEXEC));
    if (!fd ||
        write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        throw std::runtime_error("memfd failed");
    }
    lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

Fields find_in(const std::string& content, std::size_t field, std::string_view value,
               bool lc = false) {
    return field_with_value_in_pw_file(file_with(content).get(), field, value, lc);
}

// Account-like filler lines, at most `bytes` long in total.
std::string filler(std::size_t bytes) {
    std::string text;
    for (int i = 0;; ++i) {
        const std::string n = std::to_string(i);
        std::string line = "f" + n + ":x:9" + n + ":9" + n + "::/home/f" + n + ":/bin/sh\n";
        if (text.size() + line.size() > bytes) return text;
        text += line;
    }
}

}  // namespace

TEST(PwCacheFind, LineStraddlingTwoChunksIsFound) {
    const std::string target = "target:x:4242:4243:straddler:/home/target:/bin/sh\n";
    const Fields expected{"target", "x", "4242", "4243", "straddler", "/home/target", "/bin/sh"};
    // Move the chunk boundary through every byte of the target line, by name and by uid.
    const std::string base = filler(PW_CHUNK_SIZE - target.size() - 8);
    for (std::size_t shift = 0; shift <= target.size() + 2; ++shift) {
        std::string content = base;
        content += std::string(PW_CHUNK_SIZE - target.size() + shift - content.size() - 1, '#');
        content += "\n" + target + "after:x:1:1::/:/bin/sh\n";
        EXPECT_EQ(find_in(content, 0, "target"), expected) << "shift " << shift;
        EXPECT_EQ(find_in(content, 2, "4242"), expected) << "shift " << shift;
    }
    // A line longer than a whole chunk is assembled from several reads.
    const std::string huge =
        "huge:x:77:77:" + std::string(3 * PW_CHUNK_SIZE, 'g') + ":/h:/bin/sh\n";
    const Fields found = find_in(filler(1000) + huge, 2, "77");
    ASSERT_EQ(found.size(), 7u);
    EXPECT_EQ(found[0], "huge");
    EXPECT_EQ(found[4].size(), 3 * PW_CHUNK_SIZE);
}

TEST(PwCacheFind, SmallFileIsSearchedToItsLastLine) {
    // A file under a chunk is read into a buffer of its own size: the last line is found
    // whatever that size, with or without its line feed.
    const std::string target = "last:x:31:31::/home/last:/bin/sh";
    for (const std::size_t size : {4095u, 4096u, 4097u, 8191u, 8192u}) {
        for (const bool line_feed : {true, false}) {
            const std::string end = target + (line_feed ? "\n" : "");
            std::string content = filler(size - end.size());
            content += std::string(size - end.size() - content.size(), '#');
            content.back() = '\n';
            content += end;
            ASSERT_EQ(content.size(), size);
            EXPECT_EQ(find_in(content, 2, "31").size(), 7u) << size << " " << line_feed;
        }
    }
}

TEST(PwCacheFind, UidSearchIsNotFooledByOtherFieldsOrLongerNumbers) {
    const std::string content =
        "bygid:x:5000:100:gid is 100:/home/bygid:/bin/sh\n"
        "longer:x:1000:1000::/home/longer:/bin/sh\n"
        "prefix:x:10:10::/home/prefix:/bin/sh\n"
        "hundred:x:100:5:the one:/home/hundred:/bin/sh\n"
        "second:x:100:6:comes after the first:/home/second:/bin/sh\n";
    const Fields found = find_in(content, 2, "100");
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0], "hundred");
    EXPECT_EQ(find_in(content, 3, "100").at(0), "bygid");
    EXPECT_TRUE(find_in(content, 2, "1").empty());
    EXPECT_TRUE(find_in(content, 2, "00").empty());
    // A value that ends its line (or the file) still ends the field.
    EXPECT_EQ(find_in("a:x:1:1:g:/h:/bin/sh\nshort:x:55\n", 2, "55").at(0), "short");
    EXPECT_EQ(find_in("a:x:1:1:g:/h:/bin/sh\nshort:x:55", 2, "55").at(0), "short");
}

TEST(PwCacheFind, NameSearchMatchesWholeFirstFieldsOnly) {
    const std::string content =
        "xroot:x:5:5:root:/root:/bin/sh\n"
        "roo:x:6:6::/:/bin/sh\n"
        "other:x:7:7:root:/home/root:/bin/sh\n"
        "root:x:0:0:the real one:/root:/bin/bash\n";
    EXPECT_EQ(find_in(content, 0, "root").at(4), "the real one");
    // The first line of the file has no line feed before it in the file.
    EXPECT_EQ(find_in(content, 0, "xroot").at(2), "5");
    EXPECT_TRUE(find_in(content, 0, "ro").empty());
}

TEST(PwCacheFind, LineEndsAndEmptyFields) {
    EXPECT_TRUE(find_in("", 0, "root").empty());
    EXPECT_TRUE(find_in("\n\n\n", 0, "root").empty());
    // The last line of a file without a final line feed.
    EXPECT_EQ(find_in("a:x:1:1::/:/bin/sh\nlast:x:2:2::/home/last:/bin/sh", 0, "last"),
              (Fields{"last", "x", "2", "2", "", "/home/last", "/bin/sh"}));
    // Trailing empty fields are dropped, inner ones kept.
    EXPECT_EQ(find_in("noshell:x:3:3:::\n", 2, "3"), (Fields{"noshell", "x", "3", "3"}));
    EXPECT_EQ(find_in("noshell::3:3::/home/n:\n", 0, "noshell"),
              (Fields{"noshell", "", "3", "3", "", "/home/n"}));
}

TEST(PwCacheFind, ValuesThatCannotBeOneFieldAreRefusedWithoutReading) {
    const auto fd = file_with("a:b:1:1::/:/bin/sh\n");
    for (std::string_view bad : {std::string_view("a:b"), std::string_view("a\nb"),
                                 std::string_view("1\n"), std::string_view("a\0", 2)}) {
        EXPECT_TRUE(field_with_value_in_pw_file(fd.get(), 0, bad).empty());
        EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 0) << "the file was read";
    }
}

TEST(PwCacheFind, CaseInsensitiveSearchLowersTheResult) {
    const std::string content = "Mixed:x:9:9:Some Body:/home/Mixed:/bin/sh\n";
    EXPECT_TRUE(find_in(content, 0, "mixed").empty());
    EXPECT_EQ(find_in(content, 0, "MIXED", true),
              (Fields{"mixed", "x", "9", "9", "some body", "/home/mixed", "/bin/sh"}));
}

// The vectorised search must agree with the plain one everywhere, in particular near the ends of
// the haystack and with needles whose probe bytes repeat.
TEST(PwCacheFind, RawSearchAgreesWithPlainSearch) {
    std::mt19937 random(12345);
    const std::string alphabet = ":\n19x";
    auto text = [&](std::size_t length) {
        std::string s(length, ' ');
        for (char& c : s) c = alphabet[random() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string haystack = text(random() % 200);
        const std::string needle = text(1 + random() % 8);
        const std::size_t from = random() % (haystack.size() + 2);
        const std::size_t expected = std::string_view(haystack).find(needle, from);
        ASSERT_EQ(Tarvok::PwCache::Find::detail::find_needle(haystack, needle, from), expected)
            << "haystack '" << haystack << "' needle '" << needle << "' from " << from;
        ASSERT_EQ(Tarvok::PwCache::Find::detail::find_needle_baseline(haystack, needle, from),
                  expected)
            << "haystack '" << haystack << "' needle '" << needle << "' from " << from;
    }
}
