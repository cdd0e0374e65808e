// Reading and writing fixed-size fields is the hot path of every scan: it
// must not touch the heap. This binary replaces the global operator new and
// delete with counting versions, and the tests check that the count does not
// move across the reads and writes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "storage/QELBTree.h"
#include "storage/QELTypes.h"
#include "support/AllocationTracker.h"
#include "support/MemoryPageManager.h"


namespace qel {
namespace {

using test::gAllocations;

TEST(NoAllocationTest, TheCounterSeesAllocations) {
  const long before = gAllocations.load();
  auto* probe = new std::vector<int>(100);
  delete probe;
  EXPECT_GE(gAllocations.load() - before, 2);
}

TEST(NoAllocationTest, FixedSizeFieldsMoveWithoutTheHeap) {
  const TQELAdvancedFieldType types[] = {
      aftShortint, aftSmallint, aftInteger, aftLargeint, aftByte,     aftWord,
      aftCardinal, aftSingle,   aftDouble,  aftExtended, aftBoolean,  aftCurrency,
      aftDate,     aftTime,     aftDateTime, aftAutoinc, aftTimeStamp,
  };
  TQELFieldDefs defs;
  for (const TQELAdvancedFieldType type : types) defs.Add(AdvancedFieldTypeName(type), type, 0);
  defs.RecalcOffsets();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(defs.MemoryRecordSize()), 0);
  std::vector<std::uint8_t> other(record.size(), 0);
  TQELVariant value;
  TQELVariant key;
  key.SetAsInteger(7);  // set up before counting
  const std::int32_t fieldCount = defs.Count();

  const long before = gAllocations.load();
  long checksum = 0;
  for (int round = 0; round < 100; ++round) {
    for (std::int32_t i = 0; i < fieldCount; ++i) {
      // The component layer's raw exchange.
      std::uint8_t buffer[16] = {static_cast<std::uint8_t>(round), 1, 0, 0, 0, 0, 0, 0};
      SetFieldData(i, defs, buffer, record.data());
      checksum += GetFieldData(i, defs, buffer, record.data());
      // Expressions read a field into a variant, copied or borrowed, convert
      // and compare it, and write a variant back.
      GetFieldValue(i, defs, record.data(), value, round % 2 ? cmCopy : cmBorrow);
      checksum += value.Compare(key, false, false, false);
      checksum += value.AsInteger();
      SetFieldValue(i, defs, value, other.data());
      key.SetAsDouble(round);
      SetFieldValue(i, defs, key, record.data());
    }
  }
  const long allocations = gAllocations.load() - before;
  EXPECT_EQ(allocations, 0);
  EXPECT_NE(checksum, 0);
}


// Searching a record index, walking it, and changing a leaf that neither
// splits nor merges go through the page cache and the key comparison only.
TEST(NoAllocationTest, IndexSearchesWalksAndLeafChangesStayOffTheHeap) {
  constexpr std::int32_t session = 1;
  test::TMemoryPageManager pages;
  TQELFieldDefs defs;
  defs.Add("K", aftInteger, 0);
  defs.RecalcOffsets();
  TQELIndexDef def;
  def.AddColumn("K");
  TQELBTreeRecordIndex index(pages, defs, nullptr);
  index.CreateIndex(session, def, false);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(defs.MemoryRecordSize()), 0);
  const auto setKey = [&](std::int32_t key) { std::memcpy(record.data() + 1, &key, 4); };
  TQELRecordID id{};
  // In no particular order, so that the leaves keep some room.
  std::vector<std::int32_t> keys;
  for (std::int32_t key = 0; key < 5000; key += 2) keys.push_back(key);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(9));
  for (const std::int32_t key : keys) {
    setKey(key);
    std::memcpy(id.data(), &key, 4);
    index.InsertKey(session, record.data(), id);
  }
  pages.ApplyChanges(session);
  // Once before counting: the leaves changed move into the session's own
  // page list, whose room the page cache sizes as it likes.
  const auto changeLeaves = [&] {
    for (std::int32_t key = 2401; key < 2601; key += 2) {
      setKey(key);
      index.InsertKey(session, record.data(), id);
      index.DeleteKey(session, record.data(), id);
    }
  };
  changeLeaves();

  TQELIndexCondition condition{sctEqual, record.data(), 1, false};
  TQELKeyPath path;
  long found = 0;
  const long before = gAllocations.load();
  for (std::int32_t key = 0; key < 5000; key += 7) {
    setKey(key);
    found += index.LocateCondition(session, condition, true, path, &id);
  }
  TQELBTreeCore& tree = *index.Tree();
  for (bool on = tree.First(session, path); on; on = tree.Next(session, path, nullptr, id.data())) ++found;
  changeLeaves();
  EXPECT_EQ(gAllocations.load() - before, 0);
  EXPECT_EQ(found, 358 + 2500);
}

}  // namespace
}  // namespace qel
