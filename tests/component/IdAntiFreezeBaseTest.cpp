#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <thread>

#include "component/IdAntiFreezeBase.h"

namespace tarvex {
namespace {

// A hook that counts its runs.
class TCountingHook : public TIdAntiFreezeBase {
public:
    using TIdAntiFreezeBase::TIdAntiFreezeBase;
    void ProcessIdle() override { ++Runs; }
    int Runs = 0;
};

TEST(IdAntiFreezeBase, WithoutAnActiveHookNothingIsInUseOrRun) {
    ASSERT_EQ(IdleHook.load(), nullptr);
    EXPECT_FALSE(TIdAntiFreezeBase::HookInUse());
    TIdAntiFreezeBase::RunIdleHook(true, true);  // nothing to run, nothing raised
    TCountingHook hook(nullptr);
    hook.SetActive(false);
    EXPECT_FALSE(TIdAntiFreezeBase::HookInUse());
    TIdAntiFreezeBase::RunIdleHook(true, true);
    EXPECT_EQ(hook.Runs, 0);
}

TEST(IdAntiFreezeBase, RunsFollowIdleForceAndOnlyWhenIdle) {
    struct Case {
        bool OnlyWhenIdle;
        bool Idle;
        bool Force;
        int Runs;
    };
    const Case cases[] = {
        {true, false, false, 0}, {true, true, false, 1},   {true, false, true, 1},
        {true, true, true, 1},   {false, false, false, 1}, {false, true, false, 1},
    };
    for (const Case& c : cases) {
        TCountingHook hook(nullptr);
        hook.SetOnlyWhenIdle(c.OnlyWhenIdle);
        TIdAntiFreezeBase::RunIdleHook(c.Idle, c.Force);
        EXPECT_EQ(hook.Runs, c.Runs)
            << "OnlyWhenIdle " << c.OnlyWhenIdle << " idle " << c.Idle << " force " << c.Force;
    }
}

TEST(IdAntiFreezeBase, OtherThreadsNeverUseTheHook) {
    TCountingHook hook(nullptr);
    ASSERT_TRUE(TIdAntiFreezeBase::HookInUse());
    bool inUse = true;
    std::thread([&] {
        inUse = TIdAntiFreezeBase::HookInUse();
        TIdAntiFreezeBase::RunIdleHook(true, true);
    }).join();
    EXPECT_FALSE(inUse);
    EXPECT_EQ(hook.Runs, 0);
}

TEST(IdAntiFreezeBase, LaterHookReplacesAndAnyReleaseUnregisters) {
    auto first = std::make_unique<TCountingHook>(nullptr);
    auto second = std::make_unique<TCountingHook>(nullptr);
    EXPECT_EQ(IdleHook.load(), second.get());
    TIdAntiFreezeBase::RunIdleHook(true, false);
    EXPECT_EQ(first->Runs, 0);
    EXPECT_EQ(second->Runs, 1);
    first.reset();
    EXPECT_EQ(IdleHook.load(), nullptr);
    EXPECT_FALSE(TIdAntiFreezeBase::HookInUse());
}

TEST(IdAntiFreezeBase, ProcessIdleFailurePropagates) {
    class TFailingHook : public TIdAntiFreezeBase {
    public:
        using TIdAntiFreezeBase::TIdAntiFreezeBase;
        void ProcessIdle() override { throw std::runtime_error("idle work failed"); }
    };
    TFailingHook hook(nullptr);
    EXPECT_THROW(TIdAntiFreezeBase::RunIdleHook(true, false), std::runtime_error);
}

}  // namespace
}  // namespace tarvex
