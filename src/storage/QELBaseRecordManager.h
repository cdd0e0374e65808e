#pragma once
// TQELBaseRecordManager: stores and fetches whole records by record id.
// Each storage kind (disk, memory, temporary) supplies its own; this base
// holds the counters every kind keeps.
//
// Missing records and unsupported operations are answered with false or
// grError, never with an exception, so that a cursor can tell "another
// session deleted it" from a failure.

#include <cstdint>

#include "storage/QELRecordRequest.h"

namespace qel {

class TQELBaseRecordManager : public TQELRecordReader {
 public:
  explicit TQELBaseRecordManager(std::int32_t recordBufferSize)
      : FRecordBufferSize(recordBufferSize) {}
  ~TQELBaseRecordManager() override = default;
  TQELBaseRecordManager(const TQELBaseRecordManager&) = delete;
  TQELBaseRecordManager& operator=(const TQELBaseRecordManager&) = delete;

  std::int64_t RecordCount() const { return FRecordCount; }
  // Moves on with every insert, update and delete; index and bitmap stamps
  // are compared with it to tell whether they are stale.
  std::int32_t ChangeCount() const { return FChangeCount; }
  // Size of the memory record buffer a record is read into.
  std::int32_t RecordBufferSize() const { return FRecordBufferSize; }

  // Operations in their fixed order.
  virtual void EmptyRecords(std::int32_t sessionID) = 0;
  // Stores `record` and answers its new id.
  virtual bool InsertRecord(std::int32_t sessionID, const std::uint8_t* record,
                            TQELRecordID& recordID) = 0;
  virtual bool UpdateRecord(std::int32_t sessionID, const std::uint8_t* record,
                            const TQELRecordID& recordID) = 0;
  virtual bool DeleteRecord(std::int32_t sessionID, TQELRecordID& recordID) = 0;
  void GetRecord(std::int32_t sessionID, TQELRecordRequest& request) override = 0;
  // Negative, 0 or positive, in the manager's natural order.
  virtual std::int32_t CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) = 0;
  // An estimate of how many records precede `recordID` in natural order,
  // for the cost of an access path only.
  virtual std::int64_t GetRecordsBefore(std::int32_t sessionID, const TQELRecordID& recordID) = 0;

 protected:
  // Counts one change. The counter wraps around instead of overflowing: a
  // long-running table passes 2^31 changes, and stamps only ask "equal?".
  void NoteChange() {
    FChangeCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(FChangeCount) + 1u);
  }

  std::int64_t FRecordCount = 0;
  std::int32_t FChangeCount = 0;
  std::int32_t FRecordBufferSize;
};

}  // namespace qel
