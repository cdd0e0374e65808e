#include "components/QELTableCopy.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <memory>
#include <vector>

#include "components/QELDatabase.h"
#include "components/QELTable.h"
#include "platform/QELException.h"
#include "platform/QELFormat.h"

namespace qel {

namespace {

constexpr std::int32_t kUnsupportedFieldType = 10499;
// A BLOB stream that took fewer bytes than it was given.
constexpr std::int32_t kBlobWriteFailed = 10112;

// The 8-byte header a picture stored by the platform's graphic fields
// begins with: a 16-bit 1, a 16-bit 0x0100 and the 32-bit size of the data
// that follows.
constexpr std::int64_t kGraphicHeaderSize = 8;

bool HasGraphicHeader(TQELStream& stream) {
  const std::int64_t size = stream.GetSize();
  if (size < kGraphicHeaderSize) return false;
  std::array<std::uint8_t, kGraphicHeaderSize> header{};
  stream.Seek(0, soBeginning);
  const bool read = stream.Read(header.data(), kGraphicHeaderSize) == kGraphicHeaderSize;
  stream.Seek(0, soBeginning);
  if (!read) return false;
  const auto word = [&](int at) { return static_cast<std::uint16_t>(header[at] | (header[at + 1] << 8)); };
  const std::uint32_t length = static_cast<std::uint32_t>(header[4]) | (static_cast<std::uint32_t>(header[5]) << 8) |
                               (static_cast<std::uint32_t>(header[6]) << 16) |
                               (static_cast<std::uint32_t>(header[7]) << 24);
  return word(0) == 1 && word(2) == 0x0100 && std::int64_t{length} == size - kGraphicHeaderSize;
}

void CopyStream(TQELStream& from, TQELStream& to) {
  // On the stack: most values are a few hundred bytes, and a buffer taken
  // from the heap (and zeroed) for each of them would cost more than the
  // copy.
  std::array<std::uint8_t, 8192> chunk;
  for (;;) {
    const std::int64_t got = from.Read(chunk.data(), static_cast<std::int64_t>(chunk.size()));
    if (got <= 0) return;
    to.WriteChecked(chunk.data(), got, kBlobWriteFailed);
  }
}

void CopyBlob(TField& source, TField& dest) {
  std::unique_ptr<TQELStream> from = source.DataSet().CreateBlobStream(source, TBlobStreamMode::Read);
  std::unique_ptr<TQELStream> to = dest.DataSet().CreateBlobStream(dest, TBlobStreamMode::Write);
  if (HasGraphicHeader(*from)) from->Seek(kGraphicHeaderSize, soBeginning);
  CopyStream(*from, *to);
  to->Close();
}

void WideStringToBlob(TField& source, TField& dest) {
  const std::u16string text = source.AsWideString();
  std::vector<std::uint8_t> bytes(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
  std::unique_ptr<TQELStream> to = dest.DataSet().CreateBlobStream(dest, TBlobStreamMode::Write);
  to->WriteChecked(bytes.data(), static_cast<std::int64_t>(bytes.size()), kBlobWriteFailed);
  to->Close();
}

void BlobToWideString(TField& source, TField& dest) {
  const std::vector<std::uint8_t> bytes = source.AsBytes();
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  dest.SetAsWideString(text);
}

bool IsWideStringType(TFieldType type) { return type == ftWideString; }

std::string OwnerName(TQELComponent* owner) {
  if (auto* table = dynamic_cast<TQELTable*>(owner)) return table->TableName();
  return "unknown";
}

std::string UnsupportedFieldText(const std::string& table, const std::string& field) {
  return QELFormat("Field type of field '%s' in table '%s' is not supported by this version of the data-access "
                   "framework. Please use a newer version of it or another field type.",
                   {field, table});
}

// The destination field of source field definition `position`, or null
// when `dest` has none.
TField* DestinationField(TDataSet& source, TDataSet& dest, std::int32_t position, const TField& sourceField,
                         bool matchByID) {
  auto* sourceTable = dynamic_cast<TQELTable*>(&source);
  if (matchByID && sourceTable != nullptr && dynamic_cast<TQELTable*>(&dest) != nullptr &&
      position < sourceTable->AdvFieldDefs.Count()) {
    const std::int32_t id = sourceTable->AdvFieldDefs[position].FieldID;
    for (std::int32_t j = 0; j < sourceTable->RestructureFieldDefs.Count(); ++j) {
      if (sourceTable->RestructureFieldDefs[j].FieldID == id) {
        return j < dest.FieldCount() ? &dest.Fields(j) : nullptr;
      }
    }
  }
  return dest.FindField(sourceField.FieldName());
}

// One source field definition, its field object (null when the source
// has none) and the destination field it goes to (null: not copied).
struct TFieldRoute {
  const TFieldDef* Def = nullptr;
  TField* From = nullptr;
  TField* To = nullptr;
};

// Where every field goes, worked out once for the whole copy: the field
// objects of both datasets stay the same from record to record.
std::vector<TFieldRoute> FieldRoutes(TDataSet& source, TDataSet& dest, bool matchByID) {
  const TFieldDefs& defs = source.FieldDefs();
  const bool byPosition = source.FieldCount() == defs.Count();
  std::vector<TFieldRoute> routes;
  routes.reserve(static_cast<std::size_t>(defs.Count()));
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    TFieldRoute route;
    route.Def = &defs[i];
    route.From = byPosition ? &source.Fields(i) : source.FindField(defs[i].Name);
    if (route.From != nullptr) route.To = DestinationField(source, dest, i, *route.From, matchByID);
    routes.push_back(route);
  }
  return routes;
}

// Copies the fields of the current source record into the new destination
// record. False when a field was skipped or set NULL after an error.
bool CopyFields(const std::vector<TFieldRoute>& routes, const std::string& name, std::int64_t recNo,
                std::string& log, bool ignoreErrors) {
  bool result = true;
  for (const TFieldRoute& route : routes) {
    if (route.From == nullptr) {
      const std::string text = UnsupportedFieldText(name, route.Def->Name);
      log += text;
      if (!ignoreErrors) throw EQELException(kUnsupportedFieldType, text);
      result = false;
      continue;
    }
    if (route.To == nullptr) continue;
    try {
      AssignFieldValue(*route.From, *route.To);
    } catch (const std::exception& error) {
      log += QELFormat("Error copying table \"%s\". Record #%d, field '%s' was copied with Null value due to "
                       "error: %s\r\n",
                       {name, recNo, route.From->FieldName(), error.what()});
      try {
        route.To->Clear();
      } catch (...) {
      }
      if (!ignoreErrors) throw;
      result = false;
    }
  }
  return result;
}

bool PostRecord(TDataSet& dest, const std::string& name, std::int64_t recNo, std::string& log, bool ignoreErrors) {
  try {
    dest.Post();
    return true;
  } catch (const std::exception& error) {
    log += QELFormat("Error copying table \"%s\". Record #%d was not imported due to error: %s\r\n",
                     {name, recNo, error.what()});
    log += "\r\n";
    try {
      dest.Cancel();
    } catch (...) {
    }
    if (!ignoreErrors) throw;
    return false;
  }
}

// Puts the source back on the record it was on, whatever the copy did.
class TReturnToBookmark {
 public:
  explicit TReturnToBookmark(TDataSet& dataSet) : FDataSet(dataSet), FBookmark(dataSet.GetBookmark()) {}
  ~TReturnToBookmark() {
    try {
      if (!FBookmark.empty() && FDataSet.BookmarkValid(FBookmark)) FDataSet.GotoBookmark(FBookmark);
    } catch (...) {
      // The copy's own outcome is what the caller needs to hear about.
    }
  }
  TReturnToBookmark(const TReturnToBookmark&) = delete;
  TReturnToBookmark& operator=(const TReturnToBookmark&) = delete;

 private:
  TDataSet& FDataSet;
  TBookmark FBookmark;
};

}  // namespace

TQELBulkTransaction::TQELBulkTransaction(TQELDatabase* database) {
  if (database == nullptr || !database->Connected() || database->InTransaction()) return;
  database->StartTransaction();
  FDatabase = database;
}

TQELBulkTransaction::~TQELBulkTransaction() {
  try {
    Commit();
  } catch (...) {
    // Leaving through an error already: that one is reported.
  }
}

void TQELBulkTransaction::Commit() {
  if (FDatabase == nullptr) return;
  TQELDatabase* database = FDatabase;
  FDatabase = nullptr;
  database->Commit();
}

void TQELBulkTransaction::Rollback() {
  if (FDatabase == nullptr) return;
  TQELDatabase* database = FDatabase;
  FDatabase = nullptr;
  database->Rollback();
}

TQELCopyProgressSchedule::TQELCopyProgressSchedule(std::int64_t recordCount, int progressMin, int progressMax)
    : FRecordCount(recordCount), FMin(progressMin), FMax(progressMax), FStep(1) {
  const std::int64_t width = std::abs(std::int64_t{progressMax} - progressMin);
  if (width != 0) FStep = std::max<std::int64_t>(recordCount, 0) / width + 1;
}

int TQELCopyProgressSchedule::PercentAfter(std::int64_t copied) const {
  if (FRecordCount <= 0) return FMin;
  const double share = std::min(1.0, static_cast<double>(copied) / static_cast<double>(FRecordCount));
  // nearbyint rounds halves to even in the default rounding mode.
  return FMin + static_cast<int>(std::nearbyint(share * (FMax - FMin)));
}

bool CopyRecords(TQELComponent* owner, TDataSet& source, TDataSet& dest, std::string& log, bool& continueCopy,
                 bool ignoreErrors, bool matchByID, const TQELProgressEvent& onProgress, int progressMin,
                 int progressMax) {
  bool result = true;
  const std::string name = OwnerName(owner);
  source.CheckBrowseMode();
  const TQELCopyProgressSchedule schedule(source.RecordCount(), progressMin, progressMax);
  try {
    source.Refresh();
  } catch (...) {
    // A dataset that cannot refresh is copied as it stands.
  }
  TReturnToBookmark back(source);
  const std::vector<TFieldRoute> routes = FieldRoutes(source, dest, matchByID);
  source.First();
  std::int64_t recNo = 1;
  while (!source.Eof()) {
    dest.Insert();
    if (!CopyFields(routes, name, recNo, log, ignoreErrors)) result = false;
    if (!PostRecord(dest, name, recNo, log, ignoreErrors)) result = false;
    ++recNo;
    source.Next();
    if (schedule.ReportsAfter(recNo - 1) && onProgress) {
      onProgress(source, schedule.PercentAfter(recNo - 1), continueCopy);
      if (!continueCopy) {
        log += "Terminated by User.\r\n";
        return false;
      }
    }
  }
  return result;
}

void AssignFieldValue(TField& source, TField& dest) {
  if (source.IsNull()) {
    dest.Clear();
    return;
  }
  const TFieldType from = source.DataType();
  const TFieldType to = dest.DataType();
  if (source.IsBlob() && dest.IsBlob()) {
    CopyBlob(source, dest);
  } else if (from == ftLargeint) {
    dest.SetAsLargeInt(source.AsLargeInt());
  } else if (IsWideStringType(from) && dest.IsBlob()) {
    WideStringToBlob(source, dest);
  } else if (IsWideStringType(to) && source.IsBlob()) {
    BlobToWideString(source, dest);
  } else {
    dest.SetAsVariant(source.AsVariant());
  }
}

}  // namespace qel
