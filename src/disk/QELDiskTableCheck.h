#pragma once
// A consistency check of the tables of an open database file, one table at
// a time, above the page-level and catalog checks:
//   - the record pages index against the record pages: every listed page is
//     a record page of the table in use whose used slots are the index's
//     count, the counts add up to the header's record count, and no record
//     page of the table in use is missing from the index;
//   - every index against the records (one entry per record, in key order,
//     keys matching);
//   - every BLOB reference of every record: the shared entry exists, or the
//     large value's pages and page list agree; no page is taken by two
//     values; shared pages carry their size in the BLOB page index; and the
//     stored block chain of a compressed value is whole, each block
//     decompressing to its size and to the CRC its header holds.
// The same walk sums up each table (definitions, record count, record and
// BLOB pages) for `qel info`.
//
// Tables are opened through the database's table data, read under one
// session, and closed again; nothing is written. Damage never raises: a
// table that cannot be opened or read becomes a fault and the next table is
// checked.

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

class TQELDiskDatabaseData;

struct TQELTableFault {
  std::string TableName;
  // The page at fault (for a record, its record page); -1 for none.
  std::int32_t PageNo = -1;
  // The record's 1-based position in natural order and its slot on PageNo;
  // 0 and -1 when the fault is not a record's.
  std::int64_t RecordNo = 0;
  std::int32_t Slot = -1;
  std::string Message;
};

// "table T, record 5 (page 12, slot 3): message", "table T, page 12: ...".
std::string FormatTableFault(const TQELTableFault& fault);

struct TQELDiskTableField {
  std::string Name;
  std::string Type;  // the declared type's SQL name
  std::int32_t Size = 0;
  bool IsBlob = false;
  std::uint8_t BlobCompressionAlgorithm = 0;  // BLOB fields only
};

struct TQELDiskTableIndex {
  std::string Name;
  std::string Columns;  // "A, B DESC NOCASE"
  bool Unique = false;
  bool Primary = false;
};

struct TQELDiskTableSummary {
  std::string Name;
  std::int32_t ObjectID = -1;
  bool Opened = false;
  std::vector<TQELDiskTableField> Fields;
  std::vector<TQELDiskTableIndex> Indexes;
  // As the table header says.
  std::int64_t RecordCount = 0;
  // Records actually read in natural order.
  std::int64_t RecordsRead = 0;
  // Pages listed in the record pages index.
  std::int32_t RecordPageCount = 0;
  // Distinct pages taken by the stored BLOB values the records refer to.
  std::int32_t BlobPageCount = 0;
  std::vector<TQELTableFault> Faults;
};

struct TQELTableCheckOptions {
  // Off for a summary only: the definitions, counts and references are
  // still read, the indexes and the block chains of BLOB values are not,
  // and the file is not scanned for record pages missing from the index.
  bool Verify = true;
};

// Checks one table of `database`, which must be open.
TQELDiskTableSummary CheckDiskTable(TQELDiskDatabaseData& database, const std::string& tableName,
                                    const TQELTableCheckOptions& options = {});

// Every table of the table list, in its order.
std::vector<TQELDiskTableSummary> CheckDiskTables(TQELDiskDatabaseData& database,
                                                  const TQELTableCheckOptions& options = {});

}  // namespace qel
