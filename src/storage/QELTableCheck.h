#pragma once
// The consistency check of a table's indexes against its records: every
// index holds exactly one entry per record, in key order, and each entry
// points at a record whose fields give the entry's key. Used by tests and
// by the file check tool.

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

class TQELTableData;

// One line per fault found, naming the table, the index and what is wrong;
// empty when the indexes agree with the records.
std::vector<std::string> CheckTableIndexes(TQELTableData& table, std::int32_t sessionID);

}  // namespace qel
