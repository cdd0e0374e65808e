#include "components/db/QELFields.h"

#include <cmath>
#include <cstring>

#include "components/db/QELDataSet.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"
#include "values/QELValueCodec.h"

namespace qel {

TSQLTimeStamp SQLTimeStampOf(const TQELDateTimeStamp& stamp) {
  int year = 0, month = 0, day = 0;
  QELTryDecodeDate(stamp.Date, year, month, day);
  TSQLTimeStamp ts;
  ts.Year = static_cast<std::int16_t>(year);
  ts.Month = static_cast<std::uint16_t>(month);
  ts.Day = static_cast<std::uint16_t>(day);
  ts.Hour = static_cast<std::uint16_t>(stamp.Time / 3600000);
  ts.Minute = static_cast<std::uint16_t>(stamp.Time / 60000 % 60);
  ts.Second = static_cast<std::uint16_t>(stamp.Time / 1000 % 60);
  ts.Fractions = static_cast<std::uint32_t>(stamp.Time % 1000);
  return ts;
}

bool TryDateTimeStampOf(const TSQLTimeStamp& ts, TQELDateTimeStamp& stamp) {
  std::int32_t day = 0;
  if (!QELTryEncodeDate(ts.Year, ts.Month, ts.Day, day)) return false;
  if (ts.Hour > 23 || ts.Minute > 59 || ts.Second > 59 || ts.Fractions > 999) return false;
  stamp.Date = day;
  stamp.Time = ((ts.Hour * 60 + ts.Minute) * 60 + ts.Second) * 1000 + static_cast<std::int32_t>(ts.Fractions);
  return true;
}

bool IsBlobFieldType(TFieldType type) {
  switch (type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
      return true;
    default:
      return false;
  }
}

std::int32_t NativeDataSize(TFieldType type, std::int32_t size) {
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      return size + 1;
    case ftWideString:
      return (size + 1) * 2;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
      return 4;
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDateTime:
      return 8;
    case ftTimeStamp:
      return sizeof(TSQLTimeStamp);
    case ftBytes:
    case ftVarBytes:
      return size;
    default:
      return 0;
  }
}

TFieldDef& TFieldDefs::Add(std::string_view name, TFieldType type, std::int32_t size, bool required) {
  TFieldDef def;
  def.Name = name;
  def.DataType = type;
  def.Size = size;
  def.Required = required;
  def.FieldNo = Count() + 1;
  FItems.push_back(std::move(def));
  return FItems.back();
}

const TFieldDef* TFieldDefs::Find(std::string_view name) const {
  const std::int32_t index = IndexOf(name);
  return index < 0 ? nullptr : &FItems[index];
}

std::int32_t TFieldDefs::IndexOf(std::string_view name) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (QELSameText(FItems[i].Name, name)) return static_cast<std::int32_t>(i);
  }
  return -1;
}

TIndexDef& TIndexDefs::Add(std::string_view name, std::string_view fields, std::uint8_t options) {
  TIndexDef def;
  def.Name = name;
  def.Fields = fields;
  def.Options = options;
  FItems.push_back(std::move(def));
  return FItems.back();
}

const TIndexDef* TIndexDefs::Find(std::string_view name) const {
  for (const TIndexDef& def : FItems) {
    if (QELSameText(def.Name, name)) return &def;
  }
  return nullptr;
}

const TIndexDef* TIndexDefs::FindIndexForFields(std::string_view fields) const {
  const std::vector<std::string> wanted = SplitFieldNames(fields);
  if (wanted.empty()) return nullptr;
  for (const TIndexDef& def : FItems) {
    const std::vector<std::string> have = SplitFieldNames(def.Fields);
    if (have.size() < wanted.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < wanted.size() && same; ++i) same = QELSameText(have[i], wanted[i]);
    if (same) return &def;
  }
  return nullptr;
}

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start <= names.size()) {
    std::size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string_view part = names.substr(start, end - start);
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
    if (!part.empty()) result.emplace_back(part);
    start = end + 1;
  }
  return result;
}

TField::TField(TDataSet& dataSet, std::string name, TFieldType type, std::int32_t size, TFieldKind kind)
    : FDataSet(dataSet), FName(std::move(name)), FDataType(type), FSize(size), FKind(kind) {
  if (FKind != fkData) FFieldNo = -1;
}

bool TField::GetData(void* buffer) const { return FDataSet.GetFieldData(*this, buffer); }

void TField::SetData(const void* buffer) { FDataSet.SetFieldData(*this, buffer); }

bool TField::IsNull() const {
  if (IsBlob()) return AsBytes().empty();
  return !GetData(nullptr);
}

namespace {

// A UTF-8 text cut to at most `size` bytes, never inside a character.
std::string_view CutUtf8(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text;
  std::size_t end = size;
  while (end > 0 && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string ReadStream(TQELStream& stream) {
  std::string result;
  char chunk[8192];
  for (;;) {
    const std::int64_t read = stream.Read(chunk, sizeof chunk);
    if (read <= 0) break;
    result.append(chunk, static_cast<std::size_t>(read));
  }
  return result;
}

}  // namespace

void TField::CheckTextual(const char* what) const {
  if (DataSize() == 0 && !IsBlob()) {
    DatabaseErrorFmt("Field '%s' cannot be accessed as %s", {FName, std::string(what)});
  }
}

std::string TField::AsString() const {
  if (IsBlob()) {
    std::unique_ptr<TQELStream> stream = FDataSet.CreateBlobStream(const_cast<TField&>(*this),
                                                                   TBlobStreamMode::Read);
    return stream ? ReadStream(*stream) : std::string();
  }
  switch (FDataType) {
    case ftString:
    case ftFixedChar:
    case ftGuid: {
      if (const std::optional<std::string_view> text = FDataSet.GetFieldText(*this)) return std::string(*text);
      // Read straight into the result: one allocation per value.
      std::string result(static_cast<std::size_t>(FSize) + 1, '\0');
      if (!GetData(result.data())) return {};
      result.resize(strnlen(result.data(), result.size()));
      return result;
    }
    default:
      return AsVariant().AsString();
  }
}

void TField::SetAsString(std::string_view value) {
  if (IsBlob()) {
    std::unique_ptr<TQELStream> stream = FDataSet.CreateBlobStream(*this, TBlobStreamMode::Write);
    if (!stream) return;
    if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
    // The value is stored when the stream closes: a failure must reach
    // the caller, not vanish with the stream.
    stream->Close();
    return;
  }
  switch (FDataType) {
    case ftString:
    case ftFixedChar:
    case ftGuid: {
      if (value.empty()) {
        SetData(nullptr);
        return;
      }
      const std::string_view cut = CutUtf8(value, static_cast<std::size_t>(FSize));
      std::vector<char> data(static_cast<std::size_t>(FSize) + 1, 0);
      std::memcpy(data.data(), cut.data(), cut.size());
      SetData(data.data());
      return;
    }
    default: {
      if (value.empty()) {
        SetData(nullptr);
        return;
      }
      TQELVariant text;
      text.SetAsString(value);
      SetAsVariant(text);
    }
  }
}

std::u16string TField::AsWideString() const {
  if (FDataType != ftWideString) {
    TQELVariant text;
    text.SetAsString(AsString());
    return text.AsWideString();
  }
  std::vector<char16_t> data(static_cast<std::size_t>(FSize) + 1, 0);
  if (!GetData(data.data())) return {};
  std::size_t length = 0;
  while (length < static_cast<std::size_t>(FSize) && data[length] != 0) ++length;
  return std::u16string(data.data(), length);
}

void TField::SetAsWideString(std::u16string_view value) {
  if (FDataType != ftWideString) {
    TQELVariant text;
    text.SetAsWideString(value);
    SetAsString(text.AsString());
    return;
  }
  if (value.empty()) {
    SetData(nullptr);
    return;
  }
  std::vector<char16_t> data(static_cast<std::size_t>(FSize) + 1, 0);
  const std::size_t length = std::min(value.size(), static_cast<std::size_t>(FSize));
  std::memcpy(data.data(), value.data(), length * sizeof(char16_t));
  SetData(data.data());
}

std::int64_t TField::ReadLargeInt(const std::uint8_t* data) const {
  switch (FDataType) {
    case ftSmallint:
    case ftBoolean: {
      std::int16_t v;
      std::memcpy(&v, data, 2);
      return v;
    }
    case ftWord: {
      std::uint16_t v;
      std::memcpy(&v, data, 2);
      return v;
    }
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime: {
      std::int32_t v;
      std::memcpy(&v, data, 4);
      return v;
    }
    case ftLargeint: {
      std::int64_t v;
      std::memcpy(&v, data, 8);
      return v;
    }
    default:
      return 0;
  }
}

std::int64_t TField::AsLargeInt() const {
  switch (FDataType) {
    case ftSmallint:
    case ftWord:
    case ftBoolean:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint: {
      std::uint8_t data[8] = {};
      return GetData(data) ? ReadLargeInt(data) : 0;
    }
    default: {
      const TQELVariant value = AsVariant();
      return value.IsNull() ? 0 : value.AsLargeint();
    }
  }
}

void TField::SetAsLargeInt(std::int64_t value) {
  std::uint8_t data[8] = {};
  switch (FDataType) {
    case ftSmallint:
    case ftBoolean: {
      const auto v = static_cast<std::int16_t>(value);
      std::memcpy(data, &v, 2);
      break;
    }
    case ftWord: {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(data, &v, 2);
      break;
    }
    case ftInteger:
    case ftAutoInc: {
      const auto v = static_cast<std::int32_t>(value);
      std::memcpy(data, &v, 4);
      break;
    }
    case ftLargeint:
      std::memcpy(data, &value, 8);
      break;
    default: {
      TQELVariant v;
      v.SetAsLargeint(value);
      SetAsVariant(v);
      return;
    }
  }
  SetData(data);
}

double TField::AsFloat() const {
  if (FDataType == ftFloat || FDataType == ftCurrency || FDataType == ftBCD) {
    double v = 0;
    return GetData(&v) ? v : 0;
  }
  const TQELVariant value = AsVariant();
  return value.IsNull() ? 0 : value.AsDouble();
}

void TField::SetAsFloat(double value) {
  if (FDataType == ftFloat || FDataType == ftCurrency || FDataType == ftBCD) {
    SetData(&value);
    return;
  }
  TQELVariant v;
  v.SetAsDouble(value);
  SetAsVariant(v);
}

bool TField::AsBoolean() const {
  if (FDataType == ftBoolean) return AsLargeInt() != 0;
  const TQELVariant value = AsVariant();
  return !value.IsNull() && value.AsBoolean();
}

void TField::SetAsBoolean(bool value) {
  if (FDataType == ftBoolean) {
    SetAsLargeInt(value ? 1 : 0);
    return;
  }
  TQELVariant v;
  v.SetAsBoolean(value);
  SetAsVariant(v);
}

double TField::AsDateTime() const {
  std::uint8_t data[sizeof(TSQLTimeStamp)] = {};
  switch (FDataType) {
    case ftDate: {
      if (!GetData(data)) return 0;
      return static_cast<double>(ReadLargeInt(data) - kDateDelta);
    }
    case ftTime: {
      if (!GetData(data)) return 0;
      return static_cast<double>(ReadLargeInt(data)) / kMSecsPerDay;
    }
    case ftDateTime: {
      double ms = 0;
      if (!GetData(&ms)) return 0;
      const double days = std::floor(ms / kMSecsPerDay);
      const auto time = static_cast<std::int32_t>(ms - days * kMSecsPerDay);
      return QELStampToDateTime({static_cast<std::int32_t>(days), time});
    }
    case ftTimeStamp: {
      TSQLTimeStamp ts;
      TQELDateTimeStamp stamp{};
      if (!GetData(&ts) || !TryDateTimeStampOf(ts, stamp)) return 0;
      return QELStampToDateTime(stamp);
    }
    default: {
      const TQELVariant value = AsVariant();
      return value.IsNull() ? 0 : value.AsDateTime();
    }
  }
}

void TField::SetAsDateTime(double value) {
  TQELDateTimeStamp stamp{};
  if (!QELTryDateTimeToStamp(value, stamp)) {
    DatabaseErrorFmt("Invalid date-time value for field '%s'", {FName});
  }
  switch (FDataType) {
    case ftDate:
      SetData(&stamp.Date);
      return;
    case ftTime:
      SetData(&stamp.Time);
      return;
    case ftDateTime: {
      const double ms = static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
      SetData(&ms);
      return;
    }
    case ftTimeStamp: {
      const TSQLTimeStamp ts = SQLTimeStampOf(stamp);
      SetData(&ts);
      return;
    }
    default: {
      TQELVariant v;
      v.SetAsDateTime(value);
      SetAsVariant(v);
    }
  }
}

std::vector<std::uint8_t> TField::AsBytes() const {
  if (IsBlob()) {
    std::unique_ptr<TQELStream> stream = FDataSet.CreateBlobStream(const_cast<TField&>(*this),
                                                                   TBlobStreamMode::Read);
    if (!stream) return {};
    const std::string text = ReadStream(*stream);
    return std::vector<std::uint8_t>(text.begin(), text.end());
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(DataSize()), 0);
  if (data.empty() || !GetData(data.data())) return {};
  return data;
}

void TField::SetAsBytes(const std::vector<std::uint8_t>& value) {
  if (IsBlob()) {
    std::unique_ptr<TQELStream> stream = FDataSet.CreateBlobStream(*this, TBlobStreamMode::Write);
    if (!stream) return;
    if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
    // The value is stored when the stream closes: a failure must reach
    // the caller, not vanish with the stream.
    stream->Close();
    return;
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(DataSize()), 0);
  if (data.empty()) DatabaseErrorFmt("Field '%s' cannot be accessed as bytes", {FName});
  std::memcpy(data.data(), value.data(), std::min(value.size(), data.size()));
  SetData(data.data());
}

TQELVariant TField::AsVariant() const {
  TQELVariant result;
  if (IsBlob()) {
    const std::string text = AsString();
    if (!text.empty()) result.SetAsString(text);
    return result;
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(DataSize()) + 2, 0);
  if (data.size() <= 2 || !GetData(data.data())) {
    result.SetNull();
    return result;
  }
  switch (FDataType) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      result.SetAsString(
          std::string_view(reinterpret_cast<const char*>(data.data()),
                           strnlen(reinterpret_cast<const char*>(data.data()), FSize + 1)));
      break;
    case ftWideString: {
      const auto* text = reinterpret_cast<const char16_t*>(data.data());
      std::size_t length = 0;
      while (length < static_cast<std::size_t>(FSize) && text[length] != 0) ++length;
      result.SetAsWideString(std::u16string_view(text, length));
      break;
    }
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
      result.SetAsLargeint(ReadLargeInt(data.data()));
      break;
    case ftBoolean:
      result.SetAsBoolean(ReadLargeInt(data.data()) != 0);
      break;
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
      double v;
      std::memcpy(&v, data.data(), 8);
      result.SetAsDouble(v);
      break;
    }
    case ftDate:
      result.SetAsDateNumber(static_cast<std::int32_t>(ReadLargeInt(data.data())));
      break;
    case ftTime:
      result.SetAsTimeMilliseconds(static_cast<std::int32_t>(ReadLargeInt(data.data())));
      break;
    case ftDateTime:
    case ftTimeStamp:
      result.SetAsDateTime(AsDateTime());
      break;
    default:
      result.SetData(data.data(), DataSize(), cmCopy, bftBytes);
      break;
  }
  return result;
}

void TField::SetAsVariant(const TQELVariant& value) {
  if (value.IsNull()) {
    if (IsBlob()) {
      SetAsString({});
    } else {
      SetData(nullptr);
    }
    return;
  }
  switch (FDataType) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      SetAsString(value.AsString());
      return;
    case ftWideString:
      SetAsWideString(value.AsWideString());
      return;
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
      SetAsLargeInt(value.AsLargeint());
      return;
    case ftBoolean:
      SetAsBoolean(value.AsBoolean());
      return;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      SetAsFloat(value.AsDouble());
      return;
    case ftTime:
      // A time of day given as text ("13:45:10") reads as a time, not as a
      // date-time.
      SetAsDateTime(value.AsTime());
      return;
    case ftDate:
    case ftDateTime:
    case ftTimeStamp:
      SetAsDateTime(value.AsDateTime());
      return;
    case ftBytes:
    case ftVarBytes:
      // Bytes are taken as they are (cut or padded with zeros to the
      // field's size); anything else gives the bytes of its text.
      if (value.DataType() == bftBytes) {
        SetAsBytes(std::vector<std::uint8_t>(value.Data(), value.Data() + value.DataSize()));
      } else {
        const std::string text = value.AsString();
        SetAsBytes(std::vector<std::uint8_t>(text.begin(), text.end()));
      }
      return;
    default:
      if (IsBlob()) {
        SetAsString(value.AsString());
        return;
      }
      DatabaseErrorFmt("Field '%s' cannot be set from this value", {FName});
  }
}

}  // namespace qel
