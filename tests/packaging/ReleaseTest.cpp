// What a release gives out, checked where it takes long or changes the machine: the same
// binary from a second build elsewhere, and the Debian package.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

std::string TailOf(const TRunResult& ARun) {
    const std::string all = ARun.Output + ARun.Error;
    return all.substr(all.size() - std::min<std::size_t>(all.size(), 4000));
}

#if TARVEX_OWN_FLAGS
TEST(Release, SecondBuildElsewhereGivesTheSameBinary) {
    TARVEX_REQUIRE(HaveTool("cmake"), "needs cmake");
    const std::string build = "/tmp/" + UniqueName("second-build-elsewhere");
    const TRunResult run = RunShell(
        "cmake -S " TARVEX_SOURCE_DIR " -B " + build +
            " -DTARVEX_BUILD_TESTS=OFF -DTARVEX_BUILD_BENCHMARKS=OFF -DTARVEX_SYSTEM_TESTS=OFF"
            " -DCMAKE_BUILD_TYPE=" +
            ShellQuote(TARVEX_BUILD_TYPE) + " -DCMAKE_C_COMPILER=" + ShellQuote(TARVEX_C_COMPILER) +
            " -DCMAKE_CXX_COMPILER=" + ShellQuote(TARVEX_CXX_COMPILER) +
            " -DCMAKE_CXX_FLAGS=" + ShellQuote(TARVEX_CXX_FLAGS) +
            " -DCMAKE_EXE_LINKER_FLAGS=" + ShellQuote(TARVEX_LINKER_FLAGS) + " && cmake --build " +
            build + " -j2 --target tarvex && cmp " TARVEX_BINARY_PATH " " + build + "/tarvex",
        600000);
    std::filesystem::remove_all(build);
    EXPECT_TRUE(run.Succeeded()) << TailOf(run);
}
#endif

// The Debian package built from the tracked files as a distribution would, by an unprivileged
// user; checked, installed by its autopkgtest, checked again and purged, also on failure.
class DebianPackage : public ::testing::Test {
protected:
    void TearDown() override {
        if (Ours) {
            RunShell("dpkg-query -W tarvex >/dev/null 2>&1 && dpkg --purge tarvex");
        }
        std::filesystem::remove_all(Work);
    }

    // ACommand in the source copy as the user nobody, with the copy's parent as its home.
    TRunResult AsNobody(const std::string& ACommand, int ATimeoutMs = 60000) const {
        return RunShell("cd " + Tree +
                            " && setpriv --reuid=nobody --regid=nogroup --clear-groups"
                            " env HOME=" +
                            Parent + " " + ACommand,
                        ATimeoutMs);
    }

    const std::string Work = "/tmp/" + UniqueName("debian-package");
    const std::string Parent = Work + "/build";
    const std::string Tree = Parent + "/tarvex";
    bool Ours = false;  // no tarvex was installed before: whatever is there now is the test's
};

// The flags of a compile command that are not the project's own: warnings, the language
// standard, definitions, include folders and the file names.
std::set<std::string> ForeignFlags(const std::string& ACommand) {
    std::istringstream words(ACommand);
    std::set<std::string> flags;
    std::string word;
    words >> word;  // the compiler
    while (words >> word) {
        if (word == "-o" || word == "-c" || word == "-MT" || word == "-MF" || word == "-isystem") {
            words >> word;
        } else if (!word.starts_with("-W") && !word.starts_with("-I") &&
                   !word.starts_with("-std=") && word != "-MD" &&
                   !(word.starts_with("-D") && word.find("TARVEX") != std::string::npos)) {
            flags.insert(word);
        }
    }
    return flags;
}

TEST_F(DebianPackage, BuildsPassesItsTestsInstallsAndPurges) {
    TARVEX_REQUIRE_ROOT();
    for (const char* tool : {"dpkg-buildpackage", "dpkg-checkbuilddeps", "dh", "lintian",
                             "autopkgtest", "hardening-check", "setpriv", "getcap"}) {
        TARVEX_REQUIRE(HaveTool(tool), std::string("needs ") + tool);
    }
    const TRunResult unmet = RunShell("cd " TARVEX_SOURCE_DIR " && dpkg-checkbuilddeps");
    TARVEX_REQUIRE(unmet.Succeeded(),
                   "build dependencies missing (apt-get build-dep ./): " + unmet.Error);
    // Never touch an installation that is not ours.
    TARVEX_REQUIRE(
        !RunShell("dpkg-query -W -f='${Status}' tarvex | grep -q 'ok installed'").Succeeded() &&
            !std::filesystem::exists("/usr/bin/tarvex"),
        "tarvex is installed already (dpkg --purge tarvex first)");
    Ours = true;

    // The tracked files only: the build writes nothing into the caller's tree.
    std::filesystem::create_directories(Tree);
    ASSERT_TRUE(
        RunShell("chmod 755 " + Work +
                 " && cd " TARVEX_SOURCE_DIR
                 " && git ls-files -z | tar --null --ignore-failed-read -T - -cf - | tar -C " +
                 Tree + " -xf - && chown -R nobody:nogroup " + Parent)
            .Succeeded());
    const TRunResult build =
        AsNobody("DEB_BUILD_OPTIONS=parallel=2 dpkg-buildpackage -us -uc -b", 1200000);
    ASSERT_TRUE(build.Succeeded()) << TailOf(build);
    const std::string name =
        Parent + "/tarvex_0.1~b-1_" + Lines(RunShell("dpkg --print-architecture").Output).at(0);
    ASSERT_TRUE(std::filesystem::exists(name + ".deb") &&
                std::filesystem::exists(name + ".changes"));

    // Not a single tag, informational ones included; the overrides say why they apply.
    const TRunResult lintian =
        AsNobody("lintian --pedantic --info --fail-on error,warning " + name + ".changes");
    EXPECT_TRUE(lintian.Succeeded() && lintian.Output.empty()) << lintian.Output;
    const std::string unpacked = Work + "/unpacked";
    ASSERT_TRUE(RunShell("dpkg-deb -x " + name + ".deb " + unpacked).Succeeded());
    // Control-flow protection cannot be had: Debian 12's C start-up files lack its marking.
    const TRunResult hardening =
        RunShell("hardening-check --nocfprotection " + unpacked + "/usr/bin/tarvex");
    EXPECT_TRUE(hardening.Succeeded()) << hardening.Output;
    // The C++ runtime is linked in, which keeps the running program's private memory small.
    EXPECT_THAT(RunShell("readelf -d " + unpacked + "/usr/bin/tarvex").Output,
                Not(ContainsRegex("lib(stdc\\+\\+|gcc_s)\\.so")));
    EXPECT_EQ(RunShell("find " + unpacked + " -perm /6000").Output, "");

    // The compiler saw exactly the distribution's flags besides the project's own. dpkg-buildflags
    // runs in the tree, as dh ran it, since its prefix map names that folder.
    const TRunResult wanted =
        RunShell("cd " + Tree +
                 " && export DEB_BUILD_MAINT_OPTIONS=hardening=+all && "
                 "echo $(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)");
    const TRunResult command = RunShell(
        "sed -n '/\"command\": \".*app\\/main\\.cpp\"/{s/.*\"command\": \"//;s/\"[^\"]*$//;p;q}' " +
        Tree + "/obj-*/compile_commands.json");
    ASSERT_FALSE(command.Output.empty()) << "no compile command for app/main.cpp";
    EXPECT_EQ(ForeignFlags(command.Output), ForeignFlags("cc " + wanted.Output)) << command.Output;

    const TRunResult autopkgtest =
        RunShell("autopkgtest --no-built-binaries --output-dir " + Work + "/autopkgtest " + name +
                     ".deb " + Tree + "/ -- null",
                 1200000);
    ASSERT_TRUE(autopkgtest.Succeeded()) << TailOf(autopkgtest);
    EXPECT_TRUE(
        RunShell("grep -qE '^monitor-loopback +PASS' " + Work + "/autopkgtest/summary").Succeeded())
        << "the network namespace test did not pass (skipped?)";

    EXPECT_THAT(RunShell("dpkg-query -W -f='${Status}' tarvex").Output,
                HasSubstr("install ok installed"));
    EXPECT_THAT(RunShell("getcap /usr/bin/tarvex").Output, HasSubstr("cap_net_raw=ep"));
    // The maintainer script's fallbacks warn and still succeed, never resorting to set-user-ID.
    const std::string postinst = "/var/lib/dpkg/info/tarvex.postinst configure 2>&1";
    const TRunResult noSetfcap = RunShell("setpriv --bounding-set=-setfcap " + postinst);
    EXPECT_TRUE(noSetfcap.Succeeded());
    EXPECT_THAT(
        noSetfcap.Output,
        HasSubstr("tarvex: warning: could not give /usr/bin/tarvex the cap_net_raw capability"));
    const TRunResult noSetcap = RunShell("env PATH=/nonexistent /bin/sh " + postinst);
    EXPECT_TRUE(noSetcap.Succeeded());
    EXPECT_THAT(noSetcap.Output, HasSubstr("tarvex: warning: setcap not found"));
    EXPECT_EQ(RunShell("find /usr/bin/tarvex -perm /6000").Output, "");
    if (HaveTool("man")) {
        EXPECT_EQ(RunShell("man -w tarvex").Output, "/usr/share/man/man1/tarvex.1.gz\n");
    }

    ASSERT_TRUE(RunShell("dpkg --purge tarvex").Succeeded());
    EXPECT_FALSE(std::filesystem::exists("/usr/bin/tarvex"));
    EXPECT_FALSE(std::filesystem::exists("/usr/share/doc/tarvex"));
}

}  // namespace
}  // namespace tarvex::test
