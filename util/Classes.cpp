#include "util/Classes.h"

#include <algorithm>
#include <memory>

namespace tarvex {

namespace {

[[noreturn]] void RaiseListIndexError(std::int32_t AIndex) {
    throw EListError(FormatText("List index out of bounds (%d)", {IntegerText(AIndex)}));
}

bool OutOfBounds(std::int32_t AIndex, std::size_t ACount) noexcept {
    return AIndex < 0 || static_cast<std::size_t>(AIndex) >= ACount;
}

}  // namespace

void TPersistent::Assign(const TPersistent& ASource) { ASource.AssignTo(*this); }

void TPersistent::AssignTo(TPersistent& ADest) const {
    throw EConvertError(FormatText("Cannot assign a %s to a %s", {ClassName(), ADest.ClassName()}));
}

TComponent::TComponent(TComponent* AOwner) : FOwner(nullptr) {
    if (AOwner != nullptr) {
        AOwner->InsertComponent(this);
    }
}

TComponent::~TComponent() {
    DestroyComponents();
    if (FOwner != nullptr) {
        FOwner->RemoveComponent(this);
    }
}

void TComponent::DestroyComponents() noexcept {
    while (!FComponents.empty()) {
        // Detached before its destructor runs, so it does not look for us in the list.
        std::unique_ptr<TComponent> owned(FComponents.back());
        FComponents.pop_back();
        owned->FOwner = nullptr;
    }
}

std::int32_t TComponent::ComponentCount() const noexcept {
    return static_cast<std::int32_t>(FComponents.size());
}

TComponent* TComponent::Components(std::int32_t AIndex) const {
    if (OutOfBounds(AIndex, FComponents.size())) {
        RaiseListIndexError(AIndex);
    }
    return FComponents[static_cast<std::size_t>(AIndex)];
}

void TComponent::InsertComponent(TComponent* AComponent) {
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) noexcept {
    std::erase(FComponents, AComponent);
    AComponent->FOwner = nullptr;
}

TCollection::~TCollection() {
    for (TCollectionItem* item : FItems) {
        item->FCollection = nullptr;
    }
}

std::int32_t TCollection::Count() const noexcept {
    return static_cast<std::int32_t>(FItems.size());
}

TCollectionItem* TCollection::Items(std::int32_t AIndex) const {
    if (OutOfBounds(AIndex, FItems.size())) {
        RaiseListIndexError(AIndex);
    }
    return FItems[static_cast<std::size_t>(AIndex)];
}

TCollectionItem::TCollectionItem(TCollection* ACollection) : FCollection(ACollection) {
    if (FCollection != nullptr) {
        FID = FCollection->FNextID++;
        FCollection->FItems.push_back(this);
    }
}

TCollectionItem::~TCollectionItem() {
    if (FCollection != nullptr) {
        std::erase(FCollection->FItems, this);
    }
}

std::int32_t TCollectionItem::Index() const noexcept {
    if (FCollection == nullptr) {
        return -1;
    }
    const auto& items = FCollection->FItems;
    const auto found = std::find(items.begin(), items.end(), this);
    return found == items.end() ? -1 : static_cast<std::int32_t>(found - items.begin());
}

const std::string& TStringList::Strings(std::int32_t AIndex) const {
    if (OutOfBounds(AIndex, FItems.size())) {
        throw EStringListError(FormatText("List index out of bounds (%d)", {IntegerText(AIndex)}));
    }
    return FItems[static_cast<std::size_t>(AIndex)];
}

}  // namespace tarvex
