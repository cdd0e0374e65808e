#pragma once
// The root of the definitions that describe a table: its fields, indexes and
// constraints are each a list of named, numbered definitions.
//
// TQELMetaObjectDef holds what every definition has, a name and its object
// number within the table, and writes them as the header of its stored form.
// TQELMetaObjectDefs is an ordered list that owns its definitions, finds them
// by name or number, copies them and stores them as an int32 count followed
// by the definitions. Each kind of list derives from TQELMetaObjectDefsOf,
// which gives typed access to its own class of definition.
//
// The root lives here, beside the field definitions that derive from it; the
// index and constraint definitions build on it in the engine folder.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "streams/QELStream.h"

namespace qel {

// Native codes of the stored header every definition starts with, and of the
// count in front of a list (reading / writing).
inline constexpr std::int32_t kQELErrReadDefNameLength = 10166;
inline constexpr std::int32_t kQELErrReadDefName = 10167;
inline constexpr std::int32_t kQELErrReadDefObjectID = 10169;
inline constexpr std::int32_t kQELErrWriteDefNameLength = 10164;
inline constexpr std::int32_t kQELErrWriteDefName = 10165;
inline constexpr std::int32_t kQELErrWriteDefObjectID = 10168;
inline constexpr std::int32_t kQELErrReadDefCount = 10159;
inline constexpr std::int32_t kQELErrWriteDefCount = 10158;

class TQELMetaObjectDef {
 public:
  static constexpr std::size_t kMaxNameLength = 255;

  TQELMetaObjectDef() = default;
  virtual ~TQELMetaObjectDef() = default;

  const std::string& Name() const { return FName; }
  // Longer names are cut to 255 bytes, the most the stored form holds.
  void SetName(std::string_view name);
  // -1 until the table gives the object its number.
  std::int32_t ObjectID() const { return FObjectID; }
  void SetObjectID(std::int32_t objectID) { FObjectID = objectID; }

  // Copies the name and the number. The definition classes copy everything
  // else they share with `source` on top.
  virtual void Assign(const TQELMetaObjectDef& source);
  // The header: name length (uint8), the name's bytes, ObjectID (int32).
  virtual void LoadFromStream(TQELStream& stream);
  virtual void SaveToStream(TQELStream& stream) const;

 protected:
  // Only the definition classes copy, so that no copy is sliced.
  TQELMetaObjectDef(const TQELMetaObjectDef&) = default;
  TQELMetaObjectDef& operator=(const TQELMetaObjectDef&) = default;

 private:
  std::string FName;
  std::int32_t FObjectID = -1;
};

class TQELMetaObjectDefs {
 public:
  TQELMetaObjectDefs() = default;
  virtual ~TQELMetaObjectDefs() = default;
  // Copying needs the list's own class of definition: see the derived lists.
  TQELMetaObjectDefs(const TQELMetaObjectDefs&) = delete;
  TQELMetaObjectDefs& operator=(const TQELMetaObjectDefs&) = delete;

  virtual std::string_view ClassName() const { return "TQELMetaObjectDefs"; }

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TQELMetaObjectDef& Item(std::int32_t index) { return *FItems[static_cast<std::size_t>(index)]; }
  const TQELMetaObjectDef& Item(std::int32_t index) const {
    return *FItems[static_cast<std::size_t>(index)];
  }

  // Position of the first definition whose name equals `name` once both are
  // upper-cased, or -1.
  std::int32_t IndexOfName(std::string_view name) const;
  // Position of the first definition numbered `objectID`, or -1.
  std::int32_t IndexOfID(std::int32_t objectID) const;
  TQELMetaObjectDef* FindByName(std::string_view name);
  TQELMetaObjectDef* FindByID(std::int32_t objectID);

  // Appends a new definition of the list's own class and answers it. The
  // root list has no class of its own and raises "The method '%s' not
  // overrided in class '%s'" (30339).
  virtual TQELMetaObjectDef& InternalAddCreated();
  // Clears the list, then reads an int32 count and that many definitions,
  // one at a time. A failed read leaves the definitions read so far.
  virtual void LoadFromStream(TQELStream& stream);
  virtual void SaveToStream(TQELStream& stream) const;
  // Replaces the list by copies of `source`'s definitions, in order. A
  // name met twice (ignoring case) raises "Duplicate field name %s" (10424)
  // and leaves the list as it was.
  virtual void Assign(const TQELMetaObjectDefs& source);

  // Frees the definition at `index`.
  void Delete(std::int32_t index);
  // Moves a definition to another position; the others keep their order.
  void Move(std::int32_t fromIndex, std::int32_t toIndex);
  // Frees every definition.
  virtual void Clear();

 protected:
  TQELMetaObjectDefs(TQELMetaObjectDefs&&) noexcept = default;
  TQELMetaObjectDefs& operator=(TQELMetaObjectDefs&&) noexcept = default;

  TQELMetaObjectDef& AddItem(std::unique_ptr<TQELMetaObjectDef> def);
  TQELMetaObjectDef& InsertItem(std::int32_t index, std::unique_ptr<TQELMetaObjectDef> def);
  // Frees the definition it replaces.
  void SetItemAt(std::int32_t index, std::unique_ptr<TQELMetaObjectDef> def);
  // Empties the list and runs `fill`; should it raise, the list gets its
  // old definitions back.
  void ReplaceItems(const std::function<void()>& fill);
  // Appends a copy of each of `source`'s definitions (no name check): the
  // plain copy behind the lists' copy constructors.
  void AppendCopies(const TQELMetaObjectDefs& source);

 private:
  std::vector<std::unique_ptr<TQELMetaObjectDef>> FItems;
};

// A list whose definitions are all of class TDef: every way into the list is
// typed, so the casts below always hold.
template <class TDef>
class TQELMetaObjectDefsOf : public TQELMetaObjectDefs {
 public:
  TDef& operator[](std::int32_t index) { return static_cast<TDef&>(Item(index)); }
  const TDef& operator[](std::int32_t index) const { return static_cast<const TDef&>(Item(index)); }

  // Appends `def` (the list takes it over) and answers it.
  TDef& Add(std::unique_ptr<TDef> def) { return static_cast<TDef&>(AddItem(std::move(def))); }
  TDef& Insert(std::int32_t index, std::unique_ptr<TDef> def) {
    return static_cast<TDef&>(InsertItem(index, std::move(def)));
  }
  void SetItem(std::int32_t index, std::unique_ptr<TDef> def) { SetItemAt(index, std::move(def)); }

  TDef* FindByName(std::string_view name) {
    return static_cast<TDef*>(TQELMetaObjectDefs::FindByName(name));
  }
  const TDef* FindByName(std::string_view name) const {
    return const_cast<TQELMetaObjectDefsOf*>(this)->FindByName(name);
  }
  TDef* FindByID(std::int32_t objectID) {
    return static_cast<TDef*>(TQELMetaObjectDefs::FindByID(objectID));
  }
  const TDef* FindByID(std::int32_t objectID) const {
    return const_cast<TQELMetaObjectDefsOf*>(this)->FindByID(objectID);
  }

 protected:
  TQELMetaObjectDefsOf() = default;
  TQELMetaObjectDefsOf(TQELMetaObjectDefsOf&&) noexcept = default;
  TQELMetaObjectDefsOf& operator=(TQELMetaObjectDefsOf&&) noexcept = default;
};

}  // namespace qel
