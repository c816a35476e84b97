#include "util/Classes.h"

#include <algorithm>
#include <memory>

namespace tarvex {

namespace {

// Raises E "List index out of bounds (%d)" for a position outside a list of ACount entries.
template <typename E>
void CheckListIndex(std::int32_t AIndex, std::size_t ACount) {
    if (AIndex < 0 || static_cast<std::size_t>(AIndex) >= ACount) {
        throw E(FormatText("List index out of bounds (%d)", {IntegerText(AIndex)}));
    }
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
    CheckListIndex<EListError>(AIndex, FComponents.size());
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

const std::string& TStringList::Strings(std::int32_t AIndex) const {
    CheckListIndex<EStringListError>(AIndex, FItems.size());
    return FItems[static_cast<std::size_t>(AIndex)];
}

}  // namespace tarvex
