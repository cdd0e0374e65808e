#pragma once
// The component layer's simpler form of a table's structure: field entries
// that say Required and carry a value range instead of separate
// constraints, and index entries whose columns are ";"-separated texts with
// option bits. The table component and the table copy work with these; the
// conversions to and from the engine lists are in QELDefConversions.h.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldDefs.h"
#include "storage/QELFieldTypes.h"
#include "values/QELVariant.h"

namespace qel {

struct TQELAdvFieldDef {
  std::string Name;
  // ObjectID of the stored field the entry came from; -1 for a new entry.
  std::int32_t FieldID = -1;
  TQELAdvancedFieldType DataType = aftUnknown;
  bool Required = false;
  std::int32_t Size = 0;
  TQELVariant DefaultValue;
  // The permitted range; NULL when open.
  TQELVariant MinValue;
  TQELVariant MaxValue;
  std::int64_t AutoincIncrement = 1;
  std::int64_t AutoincInitialValue = 0;
  std::int64_t AutoincMinValue = 0;
  std::int64_t AutoincMaxValue = INT64_MAX;
  bool AutoincCycled = false;
  std::uint8_t BlobCompressionAlgorithm = 0;
  std::uint8_t BlobCompressionMode = 0;
  std::int32_t BlobBlockSize = TQELFieldDef::kDefaultBlobBlockSize;
};

class TQELAdvFieldDefs {
 public:
  TQELAdvFieldDefs() = default;
  TQELAdvFieldDefs(const TQELAdvFieldDefs& other) { Assign(other); }
  TQELAdvFieldDefs& operator=(const TQELAdvFieldDefs& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  TQELAdvFieldDefs(TQELAdvFieldDefs&&) noexcept = default;
  TQELAdvFieldDefs& operator=(TQELAdvFieldDefs&&) noexcept = default;

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TQELAdvFieldDef& operator[](std::int32_t index) {
    return *FItems[static_cast<std::size_t>(index)];
  }
  const TQELAdvFieldDef& operator[](std::int32_t index) const {
    return *FItems[static_cast<std::size_t>(index)];
  }

  // Appends an entry with default settings and answers it.
  TQELAdvFieldDef& Add();
  // The same with its name, type and (for strings and bytes) size set.
  TQELAdvFieldDef& Add(std::string_view name, TQELAdvancedFieldType dataType, std::int32_t size = 0);
  // Deep copy.
  void Assign(const TQELAdvFieldDefs& source);
  // The first entry of that name, ignoring case, or null.
  TQELAdvFieldDef* Find(std::string_view name);
  const TQELAdvFieldDef* Find(std::string_view name) const;
  // Removes the first entry of that name, ignoring case; "Field '%s' not
  // found" (30349) when there is none.
  void Delete(std::string_view name);
  void Clear() { FItems.clear(); }

 private:
  std::int32_t IndexOf(std::string_view name) const;

  // Entries are held by pointer so that references stay valid as the list
  // grows.
  std::vector<std::unique_ptr<TQELAdvFieldDef>> FItems;
};

// Index option bits, in the order of the component layer's index options.
inline constexpr std::uint8_t kQELIndexPrimary = 1;
inline constexpr std::uint8_t kQELIndexUnique = 2;
inline constexpr std::uint8_t kQELIndexDescending = 4;       // every column
inline constexpr std::uint8_t kQELIndexCaseInsensitive = 8;  // every column

struct TQELAdvIndexDef {
  std::string Name;
  // Lists separated by ";" (or ","): the key fields, the descending ones,
  // the case-insensitive ones, and each key column's MaxIndexedSize.
  std::string Fields;
  std::string DescFields;
  std::string CaseInsFields;
  std::string MaxIndexedSizes;
  std::uint8_t Options = 0;
  bool Temporary = false;
};

class TQELAdvIndexDefs {
 public:
  TQELAdvIndexDefs() = default;
  TQELAdvIndexDefs(const TQELAdvIndexDefs& other) { Assign(other); }
  TQELAdvIndexDefs& operator=(const TQELAdvIndexDefs& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  TQELAdvIndexDefs(TQELAdvIndexDefs&&) noexcept = default;
  TQELAdvIndexDefs& operator=(TQELAdvIndexDefs&&) noexcept = default;

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TQELAdvIndexDef& operator[](std::int32_t index) {
    return *FItems[static_cast<std::size_t>(index)];
  }
  const TQELAdvIndexDef& operator[](std::int32_t index) const {
    return *FItems[static_cast<std::size_t>(index)];
  }

  // Appends an empty entry and answers it.
  TQELAdvIndexDef& Add();
  // The same with its name, ";"-separated fields and option bits set.
  TQELAdvIndexDef& Add(std::string_view name, std::string_view fields, std::uint8_t options = 0);
  // Copies `source`; with `skipTemporary` leaves out every entry marked
  // temporary and every entry whose upper-cased name contains "TEMPORARY".
  void Assign(const TQELAdvIndexDefs& source, bool skipTemporary = false);
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::unique_ptr<TQELAdvIndexDef>> FItems;
};

}  // namespace qel
