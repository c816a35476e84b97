#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "component/IdComponent.h"
#include "net/IdException.h"
#include "net/IdStack.h"
#include "tests/support/FakeStack.h"
#include "tests/support/TestSupport.h"
#include "util/SyncObjs.h"

namespace tarvex {
namespace {

using test::FakeStackScope;

std::unique_ptr<TIdStack> RefusingStack() { throw EIdException("no stack today"); }

TEST(IdComponent, StackLivesWhileAnyComponentDoes) {
    FakeStackScope fake;
    ASSERT_EQ(StackUsers, 0);
    auto first = std::make_unique<TIdComponent>(nullptr);
    const TIdStack* stack = StackInstance.get();
    ASSERT_NE(stack, nullptr);
    const TIdStackClass fakeClass = StackClass;
    StackClass = &RefusingStack;  // only the first user makes the stack
    auto second = std::make_unique<TIdComponent>(nullptr);
    StackClass = fakeClass;
    EXPECT_EQ(StackUsers, 2);
    EXPECT_EQ(StackInstance.get(), stack);

    first.reset();
    EXPECT_EQ(StackUsers, 1);
    EXPECT_EQ(StackInstance.get(), stack);
    EXPECT_EQ(fake.Script().StacksDestroyed, 0);

    second.reset();
    EXPECT_EQ(StackUsers, 0);
    EXPECT_EQ(StackInstance, nullptr);
    EXPECT_EQ(fake.Script().StacksDestroyed, 1);

    auto third = std::make_unique<TIdComponent>(nullptr);
    EXPECT_NE(StackInstance, nullptr);
    EXPECT_EQ(fake.Script().StacksCreated, 2);
    third.reset();
    EXPECT_EQ(fake.Script().StacksDestroyed, 2);
    // A component that never opens a socket still makes the stack, and makes no call.
    EXPECT_TRUE(fake.Script().Calls.empty());
}

TEST(IdComponent, FailedStackCreationLeavesTheCountAsItWas) {
    TComponent owner(nullptr);
    const TIdStackClass saved = StackClass;
    StackClass = &RefusingStack;
    EXPECT_THROW_MSG(TIdComponent component(&owner), EIdException, "no stack today");
    StackClass = saved;
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(StackUsers, 0);
    EXPECT_EQ(StackInstance, nullptr);
    // The guard was left free: another thread can still take it.
    bool taken = false;
    std::thread([&] {
        TLockGuard lock(*StackGuard);
        taken = true;
    }).join();
    EXPECT_TRUE(taken);
}

// Says, when destroyed, whether the socket stack was still there.
class TStackWitness : public TIdComponent {
public:
    TStackWitness(TComponent* AOwner, std::vector<bool>& ASawStack)
        : TIdComponent(AOwner), FSawStack(ASawStack) {}
    ~TStackWitness() override { FSawStack.push_back(StackInstance != nullptr); }

private:
    std::vector<bool>& FSawStack;
};

TEST(IdComponent, OwnedComponentsGoBeforeTheStackIsReleased) {
    FakeStackScope fake;
    std::vector<bool> sawStack;
    {
        auto owner = std::make_unique<TIdComponent>(nullptr);
        std::make_unique<TStackWitness>(owner.get(), sawStack).release();
        std::make_unique<TStackWitness>(owner.get(), sawStack).release();
        EXPECT_EQ(StackUsers, 3);
    }
    EXPECT_EQ(sawStack, (std::vector<bool>{true, true}));
    EXPECT_EQ(StackUsers, 0);
    EXPECT_EQ(fake.Script().StacksCreated, 1);
    EXPECT_EQ(fake.Script().StacksDestroyed, 1);
}

// Every progress handler call, as text.
struct ProgressLog {
    std::vector<std::string> Calls;

    void Attach(TIdComponent& AComponent) {
        AComponent.SetOnProgressStart(
            [this](TObject& ASender, std::int32_t ADirection, std::int32_t ATotal) {
                Calls.push_back(std::string("start ") + ASender.ClassName() + " " +
                                std::to_string(ADirection) + " " + std::to_string(ATotal));
            });
        AComponent.SetOnProgress([this](TObject&, std::int32_t ADirection, std::int32_t APosition) {
            Calls.push_back("advance " + std::to_string(ADirection) + " " +
                            std::to_string(APosition));
        });
        AComponent.SetOnProgressEnd([this](TObject&, std::int32_t ADirection) {
            Calls.push_back("end " + std::to_string(ADirection));
        });
    }
};

// Only the outermost start and finish of a direction reach the handlers; each direction keeps
// its own record, and an advance outside any start is dropped.
TEST(IdComponent, NestedProgressStartsAndEndsOncePerDirection) {
    FakeStackScope fake;
    TIdComponent component(nullptr);
    ProgressLog log;
    log.Attach(component);

    component.AdvanceProgress(1, 5);
    component.StartProgress(0, 100);
    component.StartProgress(0, 999);
    component.AdvanceProgress(0, 30);
    component.StartProgress(1, 2);
    component.AdvanceProgress(0, 12);
    component.FinishProgress(0);
    component.FinishProgress(0);

    EXPECT_EQ(log.Calls,
              (std::vector<std::string>{"start TIdComponent 0 100", "advance 0 30",
                                        "start TIdComponent 1 2", "advance 0 42", "end 0"}));
    EXPECT_EQ(component.Progress(0).Total, 100);
    EXPECT_EQ(component.Progress(0).Position, 42);
    EXPECT_EQ(component.Progress(0).Depth, 0);
    EXPECT_EQ(component.Progress(1).Position, 0);
}

TEST(IdComponent, UnsetHandlersAndSurplusFinishesChangeOnlyTheRecord) {
    FakeStackScope fake;
    TIdComponent component(nullptr);
    component.StartProgress(0, 3);
    component.AdvanceProgress(0, 3);
    component.FinishProgress(0);
    EXPECT_EQ(component.Progress(0).Position, 3);
    EXPECT_FALSE(component.OnStatus());
    // A surplus finish drives the depth below zero, so the next start is not a first one.
    ProgressLog log;
    log.Attach(component);
    component.FinishProgress(1);
    component.StartProgress(1, 10);
    EXPECT_TRUE(log.Calls.empty());
    EXPECT_EQ(component.Progress(1).Depth, 0);
    EXPECT_THROW(component.StartProgress(2, 1), std::out_of_range);
    EXPECT_THROW(component.AdvanceProgress(-1, 1), std::out_of_range);
}

}  // namespace
}  // namespace tarvex
