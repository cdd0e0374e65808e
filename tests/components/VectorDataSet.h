#pragma once
// TVectorDataSet: a read-only dataset of the data-access framework over rows
// held in memory, standing for a source that is not an engine dataset. The
// test gives its field definitions and its rows; a record buffer holds only
// the number of the row it shows and its bookmark flag, and field values are
// read from that row in their native form. BLOB and memo values are read
// through CreateBlobStream, as the fields ask for them.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "components/db/QELDataSet.h"
#include "components/db/QELDatabaseError.h"
#include "streams/QELMemoryStream.h"

namespace qel::test {

// One value: NULL, a text (or the bytes of a BLOB), an integer or a float.
using TVectorValue = std::variant<std::monostate, std::string, std::int64_t, double>;
using TVectorRow = std::vector<TVectorValue>;

inline const TVectorValue kNullValue{};

class TVectorDataSet : public TDataSet {
 public:
  TVectorDataSet(TFieldDefs definitions, std::vector<TVectorRow> rows)
      : FDefinitions(std::move(definitions)), FRows(std::move(rows)) {}
  ~TVectorDataSet() override { Close(); }

  // Cleared, the dataset answers -1 for its record count, as a source that
  // cannot count its records does.
  bool CountsRecords = true;

  bool BookmarkValid(const TBookmark& bookmark) override {
    return bookmark.size() == sizeof(std::int64_t) && IsRow(RowOf(bookmark.data()));
  }
  std::int32_t CompareBookmarks(const TBookmark& a, const TBookmark& b) override {
    if (a.size() != sizeof(std::int64_t) || b.size() != sizeof(std::int64_t)) return 0;
    const std::int64_t first = RowOf(a.data());
    const std::int64_t second = RowOf(b.data());
    return first < second ? -1 : first > second ? 1 : 0;
  }

  std::unique_ptr<TQELStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override {
    if (!field.IsBlob()) DatabaseErrorFmt("Field '%s' is not a BLOB field", {field.FieldName()}, this);
    if (mode != TBlobStreamMode::Read) ReadOnlyError();
    auto stream = std::make_unique<TQELMemoryStream>();
    if (const TVectorValue* value = ActiveValue(field); value != nullptr && !IsNullValue(*value)) {
      const std::string& bytes = ValueAs<std::string>(field, *value);
      stream->Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
      stream->Seek(0, soBeginning);
    }
    return stream;
  }

  bool GetFieldData(const TField& field, void* buffer) override {
    const TVectorValue* value = ActiveValue(field);
    if (value == nullptr || IsNullValue(*value)) return false;
    if (buffer != nullptr) WriteNative(field, *value, buffer);
    return true;
  }
  void SetFieldData(TField& /*field*/, const void* /*buffer*/) override { ReadOnlyError(); }

 protected:
  // Buffers.
  std::uint8_t* AllocRecordBuffer() override { return reinterpret_cast<std::uint8_t*>(new TRecordBuffer); }
  void FreeRecordBuffer(std::uint8_t*& buffer) override {
    delete reinterpret_cast<TRecordBuffer*>(buffer);
    buffer = nullptr;
  }
  std::int32_t GetRecordSize() override { return sizeof(TRecordBuffer); }
  TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool /*doCheck*/) override {
    const auto count = static_cast<std::int64_t>(FRows.size());
    switch (mode) {
      case TGetMode::Next:
        if (FCursor + 1 >= count) {
          FCursor = count;
          return TGetResult::Eof;
        }
        ++FCursor;
        break;
      case TGetMode::Prior:
        if (FCursor - 1 < 0) {
          FCursor = -1;
          return TGetResult::Bof;
        }
        --FCursor;
        break;
      case TGetMode::Current:
        if (!IsRow(FCursor)) return TGetResult::Error;
        break;
    }
    Record(buffer) = {FCursor, TBookmarkFlag::Current};
    return TGetResult::OK;
  }
  void InternalInitRecord(std::uint8_t* buffer) override { Record(buffer) = {}; }

  // Life.
  void InternalOpen() override {
    UpdateFieldDefs();
    CreateFields();
    BindFields(true);
    FBookmarkSize = sizeof(std::int64_t);
    FCursor = -1;
    FOpen = true;
  }
  void InternalClose() override {
    BindFields(false);
    DestroyDefaultFields();
    FOpen = false;
  }
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    for (std::int32_t i = 0; i < FDefinitions.Count(); ++i) {
      const TFieldDef& def = FDefinitions[i];
      FieldDefs().Add(def.Name, def.DataType, def.Size, def.Required);
    }
  }
  bool IsCursorOpen() const override { return FOpen; }

  // Positioning: the cursor is a row number, -1 before the first row and
  // the row count after the last.
  void InternalFirst() override { FCursor = -1; }
  void InternalLast() override { FCursor = static_cast<std::int64_t>(FRows.size()); }
  void InternalSetToRecord(std::uint8_t* buffer) override { FCursor = Record(buffer).Row; }
  void GetBookmarkData(const std::uint8_t* buffer, void* data) override {
    std::memcpy(data, &Record(buffer).Row, sizeof(std::int64_t));
  }
  void SetBookmarkData(std::uint8_t* buffer, const void* data) override {
    std::memcpy(&Record(buffer).Row, data, sizeof(std::int64_t));
  }
  TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) override { return Record(buffer).Flag; }
  void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) override { Record(buffer).Flag = flag; }
  void InternalGotoBookmark(const void* bookmark) override { FCursor = RowOf(bookmark); }
  std::int64_t GetRecordCount() override { return CountsRecords ? static_cast<std::int64_t>(FRows.size()) : -1; }
  std::int64_t GetRecNo() override {
    const std::uint8_t* buffer = ActiveBuffer();
    return buffer != nullptr && Record(buffer).Flag == TBookmarkFlag::Current ? Record(buffer).Row + 1 : -1;
  }

  // Editing.
  bool GetCanModify() override { return false; }
  void InternalPost() override { ReadOnlyError(); }
  void InternalDelete() override { ReadOnlyError(); }
  void InternalAddRecord(std::uint8_t* /*buffer*/, bool /*append*/) override { ReadOnlyError(); }

 private:
  struct TRecordBuffer {
    std::int64_t Row = -1;
    TBookmarkFlag Flag = TBookmarkFlag::Current;
  };

  static TRecordBuffer& Record(std::uint8_t* buffer) { return *reinterpret_cast<TRecordBuffer*>(buffer); }
  static const TRecordBuffer& Record(const std::uint8_t* buffer) {
    return *reinterpret_cast<const TRecordBuffer*>(buffer);
  }
  static std::int64_t RowOf(const void* bookmark) {
    std::int64_t row = 0;
    std::memcpy(&row, bookmark, sizeof row);
    return row;
  }
  static bool IsNullValue(const TVectorValue& value) { return std::holds_alternative<std::monostate>(value); }

  bool IsRow(std::int64_t row) const { return row >= 0 && row < static_cast<std::int64_t>(FRows.size()); }

  [[noreturn]] void ReadOnlyError() const { DatabaseError("Cannot modify a read-only dataset", this); }

  // The value of `field` in the active record; null when there is none.
  const TVectorValue* ActiveValue(const TField& field) const {
    const std::uint8_t* buffer = ActiveBuffer();
    if (buffer == nullptr || Record(buffer).Flag != TBookmarkFlag::Current || !IsRow(Record(buffer).Row)) {
      return nullptr;
    }
    return &FRows[static_cast<std::size_t>(Record(buffer).Row)].at(static_cast<std::size_t>(field.FieldNo() - 1));
  }

  template <class T>
  const T& ValueAs(const TField& field, const TVectorValue& value) const {
    const T* typed = std::get_if<T>(&value);
    if (typed == nullptr) DatabaseErrorFmt("Field '%s' holds a value of another type", {field.FieldName()}, this);
    return *typed;
  }

  template <class T>
  static void Store(void* buffer, T value) {
    std::memcpy(buffer, &value, sizeof value);
  }

  // The value in the field's native form (see NativeDataSize).
  void WriteNative(const TField& field, const TVectorValue& value, void* buffer) const {
    switch (field.DataType()) {
      case ftString:
      case ftFixedChar: {
        const std::string& text = ValueAs<std::string>(field, value);
        const std::size_t length = std::min(text.size(), static_cast<std::size_t>(field.Size()));
        std::memcpy(buffer, text.data(), length);
        static_cast<char*>(buffer)[length] = '\0';
        return;
      }
      case ftSmallint:
      case ftBoolean:
        Store(buffer, static_cast<std::int16_t>(ValueAs<std::int64_t>(field, value)));
        return;
      case ftInteger:
        Store(buffer, static_cast<std::int32_t>(ValueAs<std::int64_t>(field, value)));
        return;
      case ftLargeint:
        Store(buffer, ValueAs<std::int64_t>(field, value));
        return;
      case ftFloat:
        Store(buffer, ValueAs<double>(field, value));
        return;
      default:
        DatabaseErrorFmt("Field '%s' has a type this dataset does not hold", {field.FieldName()}, this);
    }
  }

  TFieldDefs FDefinitions;
  std::vector<TVectorRow> FRows;
  std::int64_t FCursor = -1;
  bool FOpen = false;
};

}  // namespace qel::test
