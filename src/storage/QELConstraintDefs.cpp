#include "storage/QELConstraintDefs.h"

#include <algorithm>
#include <cstring>

#include "platform/QELException.h"
#include "storage/QELMetaStream.h"

namespace qel {

namespace {

constexpr std::int32_t kErrUnknownKind = 30316;
constexpr std::int32_t kErrReadKind = 10220;
constexpr std::int32_t kErrWriteKind = 10219;

// Native codes of one class's stored items, for reading or for writing:
// the three numbers, then per name (Ref1Name, Ref2Name, TargetName) the code
// of its count and of its bytes.
struct TPairCodes {
  std::int32_t Ref1ID;
  std::int32_t Ref2ID;
  std::int32_t TargetID;
  std::int32_t NameCount[3];
  std::int32_t NameBytes[3];
};

constexpr TPairCodes kNotNullRead = {
    10249, 10250, 10251, {10252, 10254, 10256}, {10253, 10255, 10257}};
constexpr TPairCodes kNotNullWrite = {
    10240, 10241, 10242, {10243, 10245, 10247}, {10244, 10246, 10248}};
constexpr TPairCodes kCheckRead = {
    10230, 10231, 10232, {10233, 10235, 10237}, {10234, 10236, 10238}};
constexpr TPairCodes kCheckWrite = {
    10227, 10228, 10229, {10221, 10223, 10225}, {10222, 10224, 10226}};
constexpr TPairCodes kUniqueRead = {
    30303, 30304, 30317, {30305, 30307, 30321}, {30306, 30308, 30322}};
constexpr TPairCodes kUniqueWrite = {
    30313, 30314, 30318, {30315, 30317, 30323}, {30316, 30318, 30324}};

constexpr std::int32_t kErrReadColumnCount = 30309;
constexpr std::int32_t kErrReadColumnID = 30310;
constexpr std::int32_t kErrReadColumnNameCount = 30311;
constexpr std::int32_t kErrReadColumnName = 30312;
constexpr std::int32_t kErrWriteColumnCount = 30319;
constexpr std::int32_t kErrWriteColumnID = 30320;
constexpr std::int32_t kErrWriteColumnNameCount = 30321;
constexpr std::int32_t kErrWriteColumnName = 30322;

// A constraint's names are stored with their length twice: a count k =
// length + 1 (of type TCount), then the k bytes of the short string, whose
// first byte is the length again. A 255-byte name has k = 256, which a
// uint8 count holds as 0; no name has a real count of 0 (k counts the
// length byte), so a reader takes 0 back as 256.
template <class TCount>
void WriteNameWithCount(TQELStream& stream, std::string_view name, std::int32_t countError,
                        std::int32_t bytesError) {
  const std::size_t length = std::min(name.size(), kQELMaxShortStringLength);
  const auto k = static_cast<std::int32_t>(length + 1);
  QELWriteValue<TCount>(stream, static_cast<TCount>(k), countError);
  std::uint8_t bytes[kQELMaxShortStringLength + 1];
  bytes[0] = static_cast<std::uint8_t>(length);
  std::memcpy(bytes + 1, name.data(), length);
  QELWriteExact(stream, bytes, k, bytesError);
}

template <class TCount>
std::string ReadNameWithCount(TQELStream& stream, std::int32_t countError,
                              std::int32_t bytesError) {
  std::int64_t k = QELReadValue<TCount>(stream, countError);
  if (sizeof(TCount) == 1 && k == 0) k = kQELMaxShortStringLength + 1;
  if (k < 1 || k > static_cast<std::int64_t>(kQELMaxShortStringLength) + 1) {
    QELRaiseDamagedMetadata(countError);
  }
  std::uint8_t bytes[kQELMaxShortStringLength + 1];
  QELReadExact(stream, bytes, k, bytesError);
  // The two lengths must agree, or the name's end is unknown.
  if (bytes[0] != k - 1) QELRaiseDamagedMetadata(bytesError);
  return std::string(reinterpret_cast<const char*>(bytes + 1), static_cast<std::size_t>(k - 1));
}

template <class TCount>
void SavePairs(const TQELConstraintDef& def, TQELStream& stream, const TPairCodes& codes) {
  QELWriteValue<std::int32_t>(stream, def.Ref1ID, codes.Ref1ID);
  QELWriteValue<std::int32_t>(stream, def.Ref2ID, codes.Ref2ID);
  QELWriteValue<std::int32_t>(stream, def.TargetID, codes.TargetID);
  const std::string* names[3] = {&def.Ref1Name, &def.Ref2Name, &def.TargetName};
  for (int i = 0; i < 3; ++i) {
    WriteNameWithCount<TCount>(stream, *names[i], codes.NameCount[i], codes.NameBytes[i]);
  }
}

template <class TCount>
void LoadPairs(TQELConstraintDef& def, TQELStream& stream, const TPairCodes& codes) {
  def.Ref1ID = QELReadValue<std::int32_t>(stream, codes.Ref1ID);
  def.Ref2ID = QELReadValue<std::int32_t>(stream, codes.Ref2ID);
  def.TargetID = QELReadValue<std::int32_t>(stream, codes.TargetID);
  std::string* names[3] = {&def.Ref1Name, &def.Ref2Name, &def.TargetName};
  for (int i = 0; i < 3; ++i) {
    *names[i] = ReadNameWithCount<TCount>(stream, codes.NameCount[i], codes.NameBytes[i]);
  }
}

}  // namespace

std::unique_ptr<TQELConstraintDef> TQELConstraintDef::Create(std::uint8_t kind) {
  switch (kind) {
    case ckPrimaryKey:
      return std::make_unique<TQELConstraintDefPrimary>();
    case ckUnique:
      return std::make_unique<TQELConstraintDefUnique>();
    case ckNotNull:
      return std::make_unique<TQELConstraintDefNotNull>();
    case ckCheck:
      return std::make_unique<TQELConstraintDefCheck>();
    default:
      throw EQELException(kErrUnknownKind, "Unknown Constraint Type: '%d'", {int{kind}});
  }
}

void TQELConstraintDef::Assign(const TQELMetaObjectDef& source) {
  if (this == &source) return;
  TQELMetaObjectDef::Assign(source);
  const auto* constraint = dynamic_cast<const TQELConstraintDef*>(&source);
  if (constraint == nullptr) return;
  Ref1Name = constraint->Ref1Name;
  Ref1ID = constraint->Ref1ID;
  Ref2Name = constraint->Ref2Name;
  Ref2ID = constraint->Ref2ID;
  TargetName = constraint->TargetName;
  TargetID = constraint->TargetID;
}

void TQELConstraintDefNotNull::LoadFromStream(TQELStream& stream) {
  TQELMetaObjectDef::LoadFromStream(stream);
  LoadPairs<std::uint8_t>(*this, stream, kNotNullRead);
}

void TQELConstraintDefNotNull::SaveToStream(TQELStream& stream) const {
  TQELMetaObjectDef::SaveToStream(stream);
  SavePairs<std::uint8_t>(*this, stream, kNotNullWrite);
}

void TQELConstraintDefCheck::Assign(const TQELMetaObjectDef& source) {
  if (this == &source) return;
  TQELConstraintDef::Assign(source);
  if (const auto* check = dynamic_cast<const TQELConstraintDefCheck*>(&source)) {
    MinValue.Assign(check->MinValue, cmCopy);
    MaxValue.Assign(check->MaxValue, cmCopy);
  }
}

void TQELConstraintDefCheck::LoadFromStream(TQELStream& stream) {
  TQELMetaObjectDef::LoadFromStream(stream);
  LoadPairs<std::uint8_t>(*this, stream, kCheckRead);
  MinValue.LoadFromStream(stream);
  MaxValue.LoadFromStream(stream);
}

void TQELConstraintDefCheck::SaveToStream(TQELStream& stream) const {
  TQELMetaObjectDef::SaveToStream(stream);
  SavePairs<std::uint8_t>(*this, stream, kCheckWrite);
  MinValue.SaveToStream(stream);
  MaxValue.SaveToStream(stream);
}

void TQELConstraintDefUnique::Assign(const TQELMetaObjectDef& source) {
  if (this == &source) return;
  TQELConstraintDef::Assign(source);
  if (const auto* unique = dynamic_cast<const TQELConstraintDefUnique*>(&source)) {
    Columns = unique->Columns;
  }
}

void TQELConstraintDefUnique::LoadFromStream(TQELStream& stream) {
  TQELMetaObjectDef::LoadFromStream(stream);
  LoadPairs<std::int32_t>(*this, stream, kUniqueRead);
  const std::int32_t count = QELReadCount(stream, kErrReadColumnCount);
  Columns.clear();
  for (std::int32_t i = 0; i < count; ++i) {
    TQELConstraintColumn column;
    column.ObjectID = QELReadValue<std::int32_t>(stream, kErrReadColumnID);
    column.Name =
        ReadNameWithCount<std::int32_t>(stream, kErrReadColumnNameCount, kErrReadColumnName);
    Columns.push_back(std::move(column));
  }
}

void TQELConstraintDefUnique::SaveToStream(TQELStream& stream) const {
  TQELMetaObjectDef::SaveToStream(stream);
  SavePairs<std::int32_t>(*this, stream, kUniqueWrite);
  QELWriteValue<std::int32_t>(stream, static_cast<std::int32_t>(Columns.size()),
                              kErrWriteColumnCount);
  for (const TQELConstraintColumn& column : Columns) {
    QELWriteValue<std::int32_t>(stream, column.ObjectID, kErrWriteColumnID);
    WriteNameWithCount<std::int32_t>(stream, column.Name, kErrWriteColumnNameCount,
                                     kErrWriteColumnName);
  }
}

void TQELConstraintDefs::LoadFromStream(TQELStream& stream) {
  Clear();
  const std::int32_t count = QELReadCount(stream, kQELErrReadDefCount);
  for (std::int32_t i = 0; i < count; ++i) {
    const auto kind = QELReadValue<std::uint8_t>(stream, kErrReadKind);
    Add(TQELConstraintDef::Create(kind)).LoadFromStream(stream);
  }
}

void TQELConstraintDefs::SaveToStream(TQELStream& stream) const {
  QELWriteValue<std::int32_t>(stream, Count(), kQELErrWriteDefCount);
  for (std::int32_t i = 0; i < Count(); ++i) {
    const TQELConstraintDef& def = (*this)[i];
    QELWriteValue<std::uint8_t>(stream, def.ConstraintKind(), kErrWriteKind);
    def.SaveToStream(stream);
  }
}

void TQELConstraintDefs::Assign(const TQELMetaObjectDefs& source) {
  if (this == &source) return;
  const auto* constraints = dynamic_cast<const TQELConstraintDefs*>(&source);
  // Other lists hold no constraints; the base reports that the list cannot
  // make definitions of their class.
  if (constraints == nullptr) return TQELMetaObjectDefs::Assign(source);
  ReplaceItems([&] {
    for (std::int32_t i = 0; i < constraints->Count(); ++i) {
      const TQELConstraintDef& def = (*constraints)[i];
      Add(TQELConstraintDef::Create(def.ConstraintKind())).Assign(def);
    }
  });
}

TQELConstraintDefNotNull& TQELConstraintDefs::AddNotNull() {
  return static_cast<TQELConstraintDefNotNull&>(Add(std::make_unique<TQELConstraintDefNotNull>()));
}

TQELConstraintDefCheck& TQELConstraintDefs::AddCheck() {
  return static_cast<TQELConstraintDefCheck&>(Add(std::make_unique<TQELConstraintDefCheck>()));
}

TQELConstraintDefPrimary& TQELConstraintDefs::AddPrimary() {
  return static_cast<TQELConstraintDefPrimary&>(Add(std::make_unique<TQELConstraintDefPrimary>()));
}

TQELConstraintDefUnique& TQELConstraintDefs::AddUnique() {
  return static_cast<TQELConstraintDefUnique&>(Add(std::make_unique<TQELConstraintDefUnique>()));
}

}  // namespace qel
