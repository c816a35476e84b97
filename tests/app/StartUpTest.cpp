#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/E2eSupport.h"
#include "tests/support/RuntimeSupport.h"
#include "tests/support/TestSupport.h"

namespace tarvex::test {
namespace {

const std::string UsageTail = " (+b/+beep/-b/-beep) [hostname] [timeout in ms] [delaytime in ms]\n";

// A private directory holding links to the built program, removed at the end.
class TLinkDirectory {
public:
    TLinkDirectory() : FPath("/tmp/" + UniqueName("start")) {
        Shell("mkdir -p " + FPath + "/some/dir");
    }
    ~TLinkDirectory() { Shell("rm -rf " + FPath); }
    TLinkDirectory(const TLinkDirectory&) = delete;
    TLinkDirectory& operator=(const TLinkDirectory&) = delete;

    // A symbolic link AName (relative to the directory) to the program.
    std::string Link(const std::string& AName) const {
        const std::string path = FPath + "/" + AName;
        return symlink(TARVEX_BINARY_PATH, path.c_str()) == 0 ? path : std::string();
    }
    const std::string& Path() const noexcept { return FPath; }

private:
    std::string FPath;
};

TEST(StartUp, WithoutArgumentsPrintsBannerAndUsageAndEndsWithZero) {
    TSpawnOptions options;
    options.ArgumentZero = "tarvex";
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_TRUE(run.Status->Exited);
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(run.Output, "Tarvex 0.1b\n(Marrowfen)\n\ntarvex" + UsageTail);
    EXPECT_EQ(run.Error, "");
}

TEST(StartUp, UsageNamesTheProgramWithoutTheDirectoryItWasCalledThrough) {
    const TLinkDirectory directory;
    const std::string link = directory.Link("some/dir/tarvex");
    ASSERT_FALSE(link.empty());
    TSpawnOptions options;
    options.ProgramPath = link;
    options.ArgumentZero = "./some/dir/tarvex";
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(run.Output, std::string(BannerText) + "tarvex" + UsageTail);
}

TEST(StartUp, UsageNamesTheProgramAsTheLinkItWasCalledThrough) {
    const TLinkDirectory directory;
    const std::string link = directory.Link("pinger");
    ASSERT_FALSE(link.empty());
    TSpawnOptions options;
    options.ProgramPath = link;
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 0);
    EXPECT_EQ(run.Output, std::string(BannerText) + "pinger" + UsageTail);
}

TEST(StartUp, ClosedStandardOutputEndsWithTheInOutErrorReport) {
    TSpawnOptions options;
    options.Output = TStreamKind::skClosed;
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_TRUE(run.Status->Exited);
    EXPECT_EQ(run.Status->Code, 1);
    EXPECT_EQ(MaskAddresses(run.Error),
              "Exception EInOutError in module tarvex at <address>.\nI/O error 9.\n");
}

TEST(StartUp, FullStandardOutputEndsWithTheInOutErrorReport) {
    TSpawnOptions options;
    options.Output = TStreamKind::skFull;
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 1);
    EXPECT_EQ(MaskAddresses(run.Error),
              "Exception EInOutError in module tarvex at <address>.\nI/O error 28.\n");
}

TEST(StartUp, ReportNamesTheModuleFileEvenThroughALink) {
    const TLinkDirectory directory;
    const std::string link = directory.Link("pinger");
    ASSERT_FALSE(link.empty());
    TSpawnOptions options;
    options.ProgramPath = link;
    options.Output = TStreamKind::skFull;
    const TRunResult run = RunToEnd(options);
    ASSERT_TRUE(run.Status.has_value()) << run.Error;
    EXPECT_EQ(run.Status->Code, 1);
    EXPECT_EQ(run.Error.rfind("Exception EInOutError in module tarvex at 0x", 0), 0U) << run.Error;
}

TEST(StartUp, EveryLocaleGivesTheSameBanner) {
    for (const char* locale : {"LC_ALL=POSIX", "LANG=C.UTF-8", "LANG=xx_YY.nothing"}) {
        TSpawnOptions options;
        options.ArgumentZero = "tarvex";
        options.Environment = {locale};
        const TRunResult run = RunToEnd(options);
        ASSERT_TRUE(run.Status.has_value()) << run.Error;
        EXPECT_EQ(run.Status->Code, 0) << locale;
        EXPECT_EQ(run.Output, std::string(BannerText) + "tarvex" + UsageTail) << locale;
    }
}

}  // namespace
}  // namespace tarvex::test
