#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "util/Classes.h"

namespace tarvex {
namespace {

// Records its own destruction, so tests can see which components an owner released.
class TTracked : public TComponent {
public:
    TTracked(TComponent* AOwner, std::string AName, std::vector<std::string>& ALog)
        : TComponent(AOwner), FLog(ALog) {
        SetName(std::move(AName));
    }
    ~TTracked() override { FLog.push_back(Name()); }

private:
    std::vector<std::string>& FLog;
};

TEST(Classes, BaseCopyRefusesWithBothClassNames) {
    TCollection collection;
    TComponent component(nullptr);
    EXPECT_THROW_MSG(collection.Assign(component), EConvertError,
                     "Cannot assign a TComponent to a TCollection");
    EXPECT_THROW_MSG(component.Assign(collection), EConvertError,
                     "Cannot assign a TCollection to a TComponent");
}

// A component released first leaves its owner; the owner releases the rest last first.
TEST(Classes, OwnerReleasesWhatItStillOwnsLastFirst) {
    std::vector<std::string> log;
    {
        TTracked owner(nullptr, "owner", log);
        // Released by the owner, not here.
        auto* first = std::make_unique<TTracked>(&owner, "first", log).release();
        auto owned = std::make_unique<TTracked>(&owner, "owned", log);
        auto* second = std::make_unique<TTracked>(&owner, "second", log).release();
        owned.reset();
        EXPECT_EQ(owner.ComponentCount(), 2);
        EXPECT_EQ(owner.Components(0), first);
        EXPECT_EQ(owner.Components(1), second);
        EXPECT_EQ(first->Owner(), &owner);
        EXPECT_THROW_MSG(owner.Components(2), EListError, "List index out of bounds (2)");
        EXPECT_THROW_MSG(owner.Components(-1), EListError, "List index out of bounds (-1)");
    }
    EXPECT_EQ(log, (std::vector<std::string>{"owned", "owner", "second", "first"}));
}

TEST(Classes, CollectionItemsJoinAndLeaveTheirCollection) {
    TCollection collection;
    auto first = std::make_unique<TCollectionItem>(&collection);
    auto second = std::make_unique<TCollectionItem>(&collection);
    TCollectionItem loose(nullptr);
    EXPECT_EQ(second->Collection(), &collection);
    EXPECT_NE(first->ID(), second->ID());
    EXPECT_EQ(loose.Collection(), nullptr);
    first.reset();  // leaves the collection, or the collection's destructor touches it
    // An item that outlives its collection is left without one.
    auto shortLived = std::make_unique<TCollection>();
    TCollectionItem item(shortLived.get());
    shortLived.reset();
    EXPECT_EQ(item.Collection(), nullptr);
}

TEST(Classes, StringListIndexOutsideTheListIsRefused) {
    TStringList list;
    EXPECT_THROW_MSG(list.Strings(0), EStringListError, "List index out of bounds (0)");
    list.Add("a");
    list.Add("b");
    EXPECT_EQ(list.Strings(1), "b");
    EXPECT_THROW_MSG(list.Strings(2), EStringListError, "List index out of bounds (2)");
    EXPECT_THROW_MSG(list.Strings(-1), EStringListError, "List index out of bounds (-1)");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace tarvex
