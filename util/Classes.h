#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util/SysUtils.h"

namespace tarvex {

// Root of the object classes; ClassName gives the class's own name as text.
class TObject {
public:
    TObject() = default;
    virtual ~TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;

    virtual const char* ClassName() const noexcept { return "TObject"; }
};

// An object whose settings can be copied from another. The base copy knows no source and
// refuses it with EConvertError "Cannot assign a %s to a %s".
class TPersistent : public TObject {
public:
    const char* ClassName() const noexcept override { return "TPersistent"; }
    virtual void Assign(const TPersistent& ASource);

protected:
    virtual void AssignTo(TPersistent& ADest) const;
};

// A component: optional owner, Name and Tag. An owner releases the components it owns, which
// must therefore have been created on the heap; a component released first leaves its owner.
class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    const char* ClassName() const noexcept override { return "TComponent"; }

    TComponent* Owner() const noexcept { return FOwner; }
    const std::string& Name() const noexcept { return FName; }
    void SetName(const std::string& AName) { FName = AName; }
    std::intptr_t Tag() const noexcept { return FTag; }
    void SetTag(std::intptr_t ATag) noexcept { FTag = ATag; }
    std::int32_t ComponentCount() const noexcept;
    TComponent* Components(std::int32_t AIndex) const;

protected:
    // Releases the owned components, last first. A descendant whose destructor must run after
    // them calls this first; the base destructor calls it again (then with nothing to do).
    void DestroyComponents() noexcept;

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent) noexcept;

    TComponent* FOwner;
    std::string FName;
    std::intptr_t FTag = 0;
    std::vector<TComponent*> FComponents;  // owned; released in the destructor
};

class TCollectionItem;

// A list of collection items; it does not own them.
class TCollection : public TPersistent {
public:
    TCollection() = default;
    // Items still in the collection are left without one.
    ~TCollection() override;
    const char* ClassName() const noexcept override { return "TCollection"; }

private:
    friend class TCollectionItem;
    std::vector<TCollectionItem*> FItems;
    std::int32_t FNextID = 0;
};

class TCollectionItem : public TPersistent {
public:
    explicit TCollectionItem(TCollection* ACollection);
    ~TCollectionItem() override;
    const char* ClassName() const noexcept override { return "TCollectionItem"; }

    TCollection* Collection() const noexcept { return FCollection; }
    std::int32_t ID() const noexcept { return FID; }

private:
    friend class TCollection;
    TCollection* FCollection;
    std::int32_t FID = 0;
};

// A list position outside the list: "List index out of bounds (%d)".
class EListError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EListError"; }
};

class EStringListError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EStringListError"; }
};

// An ordered list of texts; a bad index raises EStringListError "List index out of bounds (%d)".
class TStringList : public TObject {
public:
    const char* ClassName() const noexcept override { return "TStringList"; }
    void Add(std::string AText) { FItems.push_back(std::move(AText)); }
    void Clear() noexcept { FItems.clear(); }
    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(FItems.size()); }
    const std::string& Strings(std::int32_t AIndex) const;

private:
    std::vector<std::string> FItems;
};

}  // namespace tarvex
