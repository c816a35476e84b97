// What an install of the build tree ships: exactly the binary, the manual page and the
// copyright file, nothing set-user-ID, the raw-socket capability granted or its absence
// reported in one line; the manual page formats cleanly and shows what the program prints; the
// binary has the hardening the project adds.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/E2eSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

namespace fs = std::filesystem;

class Install : public testing::Test {
protected:
    // The unprivileged user must reach the staged binary.
    void SetUp() override {
        fs::create_directory(FWork);
        fs::permissions(FWork, static_cast<fs::perms>(0755));
    }
    void TearDown() override { fs::remove_all(FWork); }

    // Installs the build tree with prefix /usr under AName, through a command prefix (setpriv
    // options, say); the install's messages.
    std::string Stage(const std::string& AName, const std::string& APrefix = "") {
        // As a distribution installs, whatever the caller's umask: others must enter the folders.
        const TRunResult run =
            RunShell("umask 022 && " + APrefix + " env DESTDIR=" + FWork + "/" + AName +
                     " cmake --install " TARVEX_BUILD_DIR " --prefix /usr");
        EXPECT_TRUE(run.Succeeded()) << run.Output << run.Error;
        return run.Output + run.Error;
    }
    std::string Binary(const std::string& AName) const {
        return FWork + "/" + AName + "/usr/bin/tarvex";
    }

    void ExpectExactFiles(const std::string& AName) const {
        const fs::path root = FWork + "/" + AName;
        std::vector<std::string> files;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_directory()) {
                files.push_back(fs::relative(entry.path(), root));
            }
            EXPECT_EQ(entry.status().permissions() & (fs::perms::set_uid | fs::perms::set_gid),
                      fs::perms::none)
                << entry.path();
        }
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files,
                  (std::vector<std::string>{"usr/bin/tarvex", "usr/share/doc/tarvex/copyright",
                                            "usr/share/man/man1/tarvex.1.gz"}));
        EXPECT_EQ(fs::status(Binary(AName)).permissions(), static_cast<fs::perms>(0755));
        EXPECT_TRUE(RunShell("gzip -dc " + root.string() +
                             "/usr/share/man/man1/tarvex.1.gz | cmp -s - " TARVEX_MANUAL_PAGE)
                        .Succeeded());
        const std::string copyright = root.string() + "/usr/share/doc/tarvex/copyright";
        EXPECT_EQ(Shell("grep -q 'Copyright: 2026 The Tarvex developers' " + copyright +
                        " && grep -q 'Permission is hereby granted, free of charge' " + copyright),
                  0);
        TSpawnOptions options;
        options.ProgramPath = Binary(AName);
        const TRunResult usage = RunToEnd(options);
        EXPECT_EQ(usage.ExitCode(), 0) << usage.Error;
        EXPECT_EQ(Lines(usage.Output).back(),
                  "tarvex (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]");
    }

    static void ExpectSetcapWarning(const std::string& ALog, const std::string& ABinary) {
        EXPECT_NE(ALog.find("Warning: could not give " + ABinary + " the cap_net_raw capability"),
                  std::string::npos)
            << ALog;
        EXPECT_NE(ALog.find("fix as root: setcap cap_net_raw+ep " + ABinary), std::string::npos)
            << ALog;
    }

    const std::string FWork = "/tmp/" + UniqueName("install");
};

TEST_F(Install, StagedInstallHoldsExactlyTheExpectedFiles) {
    TARVEX_REQUIRE(HaveTool("cmake"), "needs cmake");
    const std::string log = Stage("plain");
    ExpectExactFiles("plain");
    if (!TARVEX_SETCAP) {
        // A package build: the capability is the postinst's, and the install says nothing.
        EXPECT_EQ(log.find("apabilit"), std::string::npos) << log;
        EXPECT_EQ(log.find("setcap"), std::string::npos) << log;
        if (HaveTool("getcap")) {
            EXPECT_EQ(RunShell("getcap " + Binary("plain")).Output, "");
        }
    } else if (!RunningAsRoot()) {
        // Without root setcap cannot work; the install still succeeds and says so.
        if (HaveTool("setcap")) {
            ExpectSetcapWarning(log, Binary("plain"));
        } else {
            EXPECT_NE(log.find("Warning: setcap not found"), std::string::npos) << log;
        }
    } else {
        for (const char* tool : {"setcap", "getcap", "setpriv"}) {
            TARVEX_REQUIRE(HaveTool(tool), std::string("needs ") + tool);
        }
        EXPECT_NE(log.find("Capability: cap_net_raw+ep on " + Binary("plain")), std::string::npos)
            << log;
        // Root without the privilege to set file capabilities: setcap fails, the install goes
        // on and reports it.
        const std::string refused =
            Stage("nosetfcap", "setpriv --bounding-set=-setfcap --inh-caps=-setfcap");
        ExpectExactFiles("nosetfcap");
        ExpectSetcapWarning(refused, Binary("nosetfcap"));
        EXPECT_EQ(RunShell("getcap " + Binary("nosetfcap")).Output, "");
    }
}

#if TARVEX_SETCAP
// With the capability an unprivileged user pings 127.0.0.1; a copy without it cannot open the
// raw socket, and the failure alarm starts.
TEST_F(Install, InstalledBinaryLetsAnUnprivilegedUserPing) {
    TARVEX_REQUIRE_NETNS();
    for (const char* tool : {"cmake", "setcap", "getcap"}) {
        TARVEX_REQUIRE(HaveTool(tool), std::string("needs ") + tool);
    }
    Stage("staged");
    EXPECT_NE(RunShell("getcap " + Binary("staged")).Output.find("cap_net_raw=ep"),
              std::string::npos);
    TestNamespace local("cap");
    ASSERT_TRUE(local.Ok());
    TSpawnOptions options;
    options.NetNamespace = local.Name();
    options.Unprivileged = true;
    options.Arguments = {"127.0.0.1", "500", "100"};
    const std::string head =
        std::string(BannerText) +
        "Pinging [Host: 127.0.0.1] [Beep: true] [Timeout: 500ms] [Delay: 100ms]\n\n";

    options.ProgramPath = Binary("staged");
    TProcess tarvex(options);
    ASSERT_TRUE(tarvex.Started()) << tarvex.StartError();
    EXPECT_TRUE(tarvex.WaitForOutput("Ping answered!", 5000, 3)) << tarvex.Output();
    ASSERT_TRUE(tarvex.Output().starts_with(head)) << tarvex.Output();
    std::vector<std::string> lines = Lines(tarvex.Output().substr(head.size()));
    lines.pop_back();  // it may be unfinished
    for (const std::string& line : lines) {
        EXPECT_TRUE(IsAnsweredLine(line, "127.0.0.1")) << line;
    }

    options.ProgramPath = FWork + "/copy";
    ASSERT_TRUE(fs::copy_file(TARVEX_BINARY_PATH, options.ProgramPath));
    TProcess failing(options);
    ASSERT_TRUE(failing.Started()) << failing.StartError();
    EXPECT_TRUE(failing.WaitForOutput("]\n", 5000, 2)) << failing.Output();
    EXPECT_TRUE(failing.Output().starts_with(head + "\nError occured [")) << failing.Output();
}
#endif

TEST(ManualPage, FormatsWithoutWarningsAndShowsWhatTheProgramPrints) {
    TARVEX_REQUIRE(HaveTool("groff"), "needs groff (groff-base)");
    TARVEX_REQUIRE(HaveTool("man"), "needs man (man-db)");
    // Every warning category on; any diagnostic at all fails.
    const TRunResult groff = RunShell("groff -man -ww -z " TARVEX_MANUAL_PAGE);
    EXPECT_TRUE(groff.Succeeded() && groff.Error.empty()) << groff.Error;
    const TRunResult man = RunShell(
        "LC_ALL=C.UTF-8 MANWIDTH=80 MAN_KEEP_FORMATTING= man -P cat -l " TARVEX_MANUAL_PAGE);
    ASSERT_TRUE(man.Succeeded() && man.Error.empty()) << man.Error;
    std::vector<std::string> page = Lines(man.Output);
    for (std::string& line : page) {
        // Characters, not bytes: the page may hold UTF-8.
        EXPECT_LE(std::count_if(line.begin(), line.end(),
                                [](char AByte) { return (AByte & 0xC0) != 0x80; }),
                  80)
            << line;
        line.erase(0, line.find_first_not_of(' '));
    }
    const auto shows = [&page](const std::string& ALine) {
        return std::find(page.begin(), page.end(), ALine) != page.end();
    };
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "OUTPUT",
                                "EXIT STATUS", "SIGNALS", "ENVIRONMENT", "EXAMPLES", "SEE ALSO"}) {
        EXPECT_TRUE(shows(section)) << section;
    }
    // The banner and usage line as the program prints them, each a whole rendered line; so the
    // page's option dashes render as plain hyphen-minus.
    const TRunResult usage = RunToEnd(TSpawnOptions{});
    for (const std::string& line : Lines(usage.Output)) {
        EXPECT_TRUE(line.empty() || shows(line)) << line;
    }
}

#if TARVEX_HARDENED
TEST(Release, BinaryIsHardened) {
    TARVEX_REQUIRE(HaveTool("hardening-check"), "needs hardening-check (devscripts)");
    // Control-flow protection cannot be had: Debian 12's C start-up files lack its marking, so
    // the linker drops it from every program.
    const TRunResult report = RunShell("hardening-check --nocfprotection " TARVEX_BINARY_PATH);
    EXPECT_TRUE(report.Succeeded()) << report.Output;
    for (const char* feature :
         {"Position Independent Executable", "Stack protected", "Fortify Source functions",
          "Read-only relocations", "Immediate binding"}) {
        EXPECT_NE(report.Output.find(std::string(" ") + feature + ": yes"), std::string::npos)
            << feature;
    }
}
#endif

}  // namespace
}  // namespace tarvex::test
