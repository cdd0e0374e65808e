#pragma once
// The record copy under the table component's copy, import and restructure:
// CopyRecords appends every record of one dataset to another, field by
// field through AssignFieldValue, writing what goes wrong into a text log
// instead of stopping when asked to, reporting progress and honouring a
// cancel. Log lines end in "\r\n", as the logs of stored applications do.

#include <cstdint>
#include <string>

#include "components/db/QELComponent.h"
#include "components/db/QELDataSet.h"

namespace qel {

class TQELDatabase;

// Runs a whole-table copy into a disk database as one transaction rather
// than one commit per record, when the database is not in a transaction of
// its own already. What was copied is committed at the end, also when the
// copy stops early; Rollback drops it instead.
class TQELBulkTransaction {
 public:
  // `database` may be null (the in-memory database, which has none).
  explicit TQELBulkTransaction(TQELDatabase* database);
  ~TQELBulkTransaction();
  TQELBulkTransaction(const TQELBulkTransaction&) = delete;
  TQELBulkTransaction& operator=(const TQELBulkTransaction&) = delete;

  void Commit();
  void Rollback();

 private:
  TQELDatabase* FDatabase = nullptr;
};

// When a copy of `recordCount` records reports progress, and with what
// value, over the range min..max.
class TQELCopyProgressSchedule {
 public:
  TQELCopyProgressSchedule(std::int64_t recordCount, int progressMin, int progressMax);
  // The number of records between two reports (at least 1: a range given
  // backwards counts by its width, so the step never reaches 0).
  std::int64_t Step() const { return FStep; }
  // Whether a report follows the `copied`-th record: after the first and
  // then after every Step records.
  bool ReportsAfter(std::int64_t copied) const { return (copied - 1) % FStep == 0; }
  // The value reported after `copied` records: min plus the copied share of
  // the range, halves rounded to even. An unknown count (0 or -1), or more
  // records than counted, stays inside the range rather than dividing by
  // nothing or running past its end.
  int PercentAfter(std::int64_t copied) const;

 private:
  std::int64_t FRecordCount;
  int FMin;
  int FMax;
  std::int64_t FStep;
};

// Appends every record of `source` to `dest`; `owner` only names the table
// in messages ("unknown" when it is none). With `matchByID` between two
// table components, a field goes to the destination field whose restructure
// entry carries its FieldID. False when anything was logged or the copy was
// cancelled through `continueCopy`. Without `ignoreErrors` the first field
// or post error is raised once it is logged. `source` is left on the record
// it was on.
bool CopyRecords(TQELComponent* owner, TDataSet& source, TDataSet& dest, std::string& log, bool& continueCopy,
                 bool ignoreErrors, bool matchByID, const TQELProgressEvent& onProgress, int progressMin,
                 int progressMax);

// Copies one value between field objects, whatever their datasets; a NULL
// source makes the destination NULL.
void AssignFieldValue(TField& source, TField& dest);

}  // namespace qel
