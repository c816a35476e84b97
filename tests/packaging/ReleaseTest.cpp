// What a release gives out, checked where it takes long or changes the machine: the same
// binary from a second build elsewhere, and the Debian package built as a distribution would,
// checked, installed, tested and purged (DebianPackageTest.sh).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

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

TEST(Release, DebianPackageBuildsPassesItsTestsAndPurges) {
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
    const TRunResult run = RunShell("bash " TARVEX_SOURCE_DIR
                                    "/tests/packaging/DebianPackageTest.sh " TARVEX_SOURCE_DIR,
                                    1200000);
    EXPECT_TRUE(run.Succeeded()) << TailOf(run);
}

}  // namespace
}  // namespace tarvex::test
