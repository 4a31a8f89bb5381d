// What `cmake --install` puts on a server: the production programs (never the sandbox builds),
// the relinking tool pointing at the installed front end, the manual pages and the daemon's
// units; and what the installed front end needs at run time.
#include <elf.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "support/SandboxRoot.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using TestSupport::RunResult;

// The shared libraries an ELF program names in its dynamic section (DT_NEEDED), in order.
std::vector<std::string> needed_libraries(const std::string& path) {
    const std::string image = TestSupport::read_file(path);
    auto at = [&](size_t offset, size_t size) {
        if (offset > image.size() || size > image.size() - offset) {
            throw std::runtime_error(path + ": truncated ELF file");
        }
        return image.data() + offset;
    };
    Elf64_Ehdr header;
    std::memcpy(&header, at(0, sizeof header), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        throw std::runtime_error(path + ": not a 64-bit ELF file");
    }
    auto section = [&](size_t index) {
        Elf64_Shdr s;
        std::memcpy(&s, at(header.e_shoff + index * header.e_shentsize, sizeof s), sizeof s);
        return s;
    };
    std::vector<std::string> needed;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr dynamic = section(i);
        if (dynamic.sh_type != SHT_DYNAMIC) continue;
        const Elf64_Shdr strings = section(dynamic.sh_link);
        for (size_t off = 0; off + sizeof(Elf64_Dyn) <= dynamic.sh_size; off += sizeof(Elf64_Dyn)) {
            Elf64_Dyn entry;
            std::memcpy(&entry, at(dynamic.sh_offset + off, sizeof entry), sizeof entry);
            if (entry.d_tag == DT_NULL) break;
            if (entry.d_tag == DT_NEEDED) {
                needed.emplace_back(at(strings.sh_offset + entry.d_un.d_val, 1));
            }
        }
    }
    return needed;
}

TEST(Linkage, FrontEndNeedsNoSharedLibraryAndTheDaemonOnlyTheCLibrary) {
    if (TARVOK_SANITIZED) GTEST_SKIP() << "sanitizer runtimes are shared libraries";
    // Restricted environments offer little more than the C library. The front end carries its
    // own (a static PIE, both variants alike, so nothing is left to the loader at start); the
    // daemon links libstdc++ and libgcc in. The loader shows up because the static unwinder
    // asks it for object ranges.
    for (const char* front_end : {"bin/pen_safe_crontab", "sandbox/bin/pen_safe_crontab"}) {
        EXPECT_THAT(needed_libraries(TestSupport::built(front_end)), ::testing::IsEmpty())
            << front_end;
    }
    if (!TARVOK_HAVE_DAEMON) return;
    const std::set<std::string> allowed{"libc.so.6", "ld-linux-x86-64.so.2"};
    const auto needed = needed_libraries(TestSupport::built("bin/tvwrapd"));
    EXPECT_THAT(needed, ::testing::Contains("libc.so.6"));
    for (const std::string& library : needed) EXPECT_TRUE(allowed.count(library)) << library;
}

class Installed : public ::testing::Test {
  protected:
    void SetUp() override {
        const RunResult r = TestSupport::run({TARVOK_CMAKE_COMMAND, "--install", TARVOK_BUILD_DIR},
                                             {"DESTDIR=" + root.dir(), "PATH=/usr/bin:/bin"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    std::string at(std::string_view absolute) const { return root.path(absolute); }

    std::set<std::string> installed_files() const {
        std::set<std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(root.dir())) {
            if (!e.is_directory()) files.insert(e.path().string().substr(root.dir().size()));
        }
        return files;
    }

    // The links that put commands on root's PATH and pages on man's default path: link, target.
    static std::map<std::string, std::string> links() {
        std::map<std::string, std::string> pairs;
        std::istringstream words(TARVOK_LINKS);
        for (std::string word; words >> word;) {
            pairs[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
        }
        return pairs;
    }

    TestSupport::SandboxRoot root;  // the DESTDIR
};

TEST_F(Installed, ExactlyTheProductionProgramsPagesAndUnits) {
    const std::string man = TARVOK_MAN_INSTALLED;
    std::set<std::string> expected{TARVOK_FRONTEND_INSTALLED, TARVOK_RELINK_INSTALLED,
                                   man + "/man1/pen_safe_crontab.1",
                                   man + "/man8/pen-safe-relink.8"};
    if (TARVOK_HAVE_DAEMON) {
        const std::string units = TARVOK_SYSTEMD_UNIT_INSTALLED;
        expected.insert({TARVOK_DAEMON_INSTALLED, man + "/man8/tvwrapd.8",
                         units + "/tvwrapd.socket", units + "/tvwrapd.service"});
    }
    for (const auto& [link, target] : links()) expected.insert(link);
    EXPECT_EQ(installed_files(), expected);

    for (const char* program : {TARVOK_FRONTEND_INSTALLED, TARVOK_RELINK_INSTALLED}) {
        struct stat st {};
        ASSERT_EQ(stat(at(program).c_str(), &st), 0) << program;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << program;
    }
}

// tvwrapd and pen-safe-relink as typed, and all three manual pages by name, with nothing added
// to a shell profile: relative links, so they resolve below any DESTDIR as on the server.
TEST_F(Installed, CommandsAndManualPagesAreFoundWhereAnAdministratorLooks) {
    std::set<std::string> names;
    for (const auto& [link, target] : links()) {
        ASSERT_TRUE(fs::is_symlink(at(link))) << link;
        EXPECT_FALSE(fs::read_symlink(at(link)).is_absolute()) << link;
        EXPECT_TRUE(fs::equivalent(at(link), at(target))) << link << " -> " << target;
        names.insert(fs::path(link).filename());
    }
    std::set<std::string> expected{"pen-safe-relink", "pen_safe_crontab.1", "pen-safe-relink.8"};
    if (TARVOK_HAVE_DAEMON) expected.insert({"tvwrapd", "tvwrapd.8"});
    EXPECT_EQ(names, expected);
    for (const auto& [link, target] : links()) {
        const std::string dir = fs::path(link).parent_path();
        EXPECT_TRUE(dir == "/usr/local/sbin" || dir.starts_with("/usr/local/share/man/man"))
            << link;
    }
}

TEST_F(Installed, FrontEndIsTheProductionBuild) {
    const std::string installed = TestSupport::read_file(at(TARVOK_FRONTEND_INSTALLED));
    EXPECT_TRUE(installed == TestSupport::read_file(TestSupport::built("bin/pen_safe_crontab")));
    // The sandbox build would stop here with status 2 for want of a sandbox root.
    const RunResult check = TestSupport::run({at(TARVOK_FRONTEND_INSTALLED), "--bincheck"}, {});
    EXPECT_EQ(check.out, "BinCheck ok\n");
    EXPECT_EQ(check.status, 0);
}

TEST_F(Installed, RelinkToolDefaultsToTheInstalledFrontEnd) {
    const RunResult help = TestSupport::run({"/bin/bash", at(TARVOK_RELINK_INSTALLED), "--help"},
                                            {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("(default " TARVOK_FRONTEND_INSTALLED ")"));
}

TEST_F(Installed, ServiceStartsTheInstalledDaemon) {
    if (!TARVOK_HAVE_DAEMON) GTEST_SKIP() << "no daemon in this build";
    const std::string service =
        TestSupport::read_file(at(TARVOK_SYSTEMD_UNIT_INSTALLED "/tvwrapd.service"));
    EXPECT_THAT(service, HasSubstr("\nExecStart=" TARVOK_DAEMON_INSTALLED "\n"));
}

}  // namespace
