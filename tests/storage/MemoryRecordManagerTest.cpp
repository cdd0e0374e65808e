// TQELMemoryRecordManager: which slot a record takes, how slots and record
// numbers convert once records were deleted, the refusals of slots that
// hold no record, the cost estimate, and the growth of the slot array
// (geometric, 64-bit, refused when memory runs out).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "memory/QELMemory.h"
#include "storage/QELMemoryRecordManager.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::int32_t kRecordSize = 8;

TQELRecordID IDOf(std::int32_t slot) { return TQELMemoryRecordManager::IDOfSlot(slot); }

std::vector<std::uint8_t> RecordOf(std::int32_t value) {
  std::vector<std::uint8_t> record(kRecordSize, 0);
  std::memcpy(record.data(), &value, sizeof(value));
  return record;
}

std::int32_t Insert(TQELMemoryRecordManager& records, std::int32_t value) {
  TQELRecordID id{};
  EXPECT_TRUE(records.InsertRecord(0, RecordOf(value).data(), id));
  return TQELMemoryRecordManager::SlotOf(id);
}

// The slots that hold a record, walking forward from before the first or
// backward from after the last; either way in slot order.
std::vector<std::int32_t> Walk(TQELMemoryRecordManager& records, bool forward) {
  std::vector<std::int32_t> slots;
  std::vector<std::uint8_t> buffer(kRecordSize);
  TQELRecordRequest request;
  request.Buffer = buffer.data();
  request.BeforeFirst = forward;
  request.AfterLast = !forward;
  request.Mode = forward ? grmNext : grmPrior;
  for (records.GetRecord(0, request); request.Result == grOK; records.GetRecord(0, request)) {
    slots.push_back(TQELMemoryRecordManager::SlotOf(request.RecordID));
  }
  if (!forward) std::reverse(slots.begin(), slots.end());
  return slots;
}

std::vector<std::int32_t> WalkForward(TQELMemoryRecordManager& records) { return Walk(records, true); }
std::vector<std::int32_t> WalkBackward(TQELMemoryRecordManager& records) { return Walk(records, false); }

struct TSlotCase {
  const char* Name;
  std::int32_t Inserts;
  std::vector<std::int32_t> Deletes;  // slots, in this order
  std::int32_t FirstSlot;
  std::int32_t LastSlot;
  std::int32_t NextSlot;  // the slot the next insert takes
};

// After each case's inserts and deletes, every conversion and walk must
// agree with the live slots counted one by one, and every slot that holds
// no record must be refused by update, delete and read.
TEST(MemoryRecordManagerTest, SlotAndRecordNumberRules) {
  const std::vector<TSlotCase> cases = {
      {"empty table", 0, {}, 0, 0, 0},
      {"no deletion", 10, {}, 0, 9, 10},
      {"middle slot deleted", 10, {8}, 0, 9, 10},
      {"last slot deleted moves LastSlot back", 10, {9}, 0, 8, 9},
      {"last two deleted from the top", 10, {9, 8}, 0, 7, 8},
      {"only record deleted", 1, {0}, 0, 0, 0},
      {"every record deleted", 5, {2, 0, 4, 1, 3}, 0, 0, 0},
      {"first byte of slots free", 20, {0, 1, 2, 3, 4, 5, 6, 7}, 8, 19, 20},
      {"first slot deleted", 3, {0}, 1, 2, 3},
      {"past one growth, every third deleted", 2500,
       [] {
         std::vector<std::int32_t> d;
         for (std::int32_t s = 0; s < 2500; s += 3) d.push_back(s);
         return d;
       }(),
       1, 2498, 2499},
  };
  for (const TSlotCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TQELMemoryRecordManager records(kRecordSize, 1000);
    for (std::int32_t i = 0; i < c.Inserts; ++i) ASSERT_EQ(Insert(records, i), i);
    for (std::int32_t slot : c.Deletes) {
      TQELRecordID id = IDOf(slot);
      ASSERT_TRUE(records.DeleteRecord(0, id));
    }
    std::vector<std::int32_t> live;
    for (std::int32_t s = 0; s < c.Inserts; ++s) {
      if (std::find(c.Deletes.begin(), c.Deletes.end(), s) == c.Deletes.end()) live.push_back(s);
    }
    const auto count = static_cast<std::int64_t>(live.size());
    EXPECT_EQ(records.RecordCount(), count);
    EXPECT_EQ(records.FirstSlot(), c.FirstSlot);
    EXPECT_EQ(records.LastSlot(), c.LastSlot);
    EXPECT_EQ(WalkForward(records), live);
    EXPECT_EQ(WalkBackward(records), live);

    // Record numbers: position p (0-based) is the p-th live slot; one past
    // the last record is no record.
    EXPECT_EQ(records.PositionToSlot(-1), -1);
    for (std::int64_t p = 0; p < count; ++p) {
      ASSERT_EQ(records.PositionToSlot(p), live[static_cast<std::size_t>(p)]) << "position " << p;
    }
    EXPECT_EQ(records.PositionToSlot(count), -1);
    EXPECT_EQ(records.SlotToPosition(-1), -1);
    for (std::size_t i = 0; i < live.size(); ++i) {
      ASSERT_EQ(records.SlotToPosition(live[i]), static_cast<std::int64_t>(i) + 1);
    }
    EXPECT_EQ(records.SlotToPosition(records.SlotCount()), -1);

    // A slot without a record: freed, beyond the last, negative.
    std::vector<std::int32_t> dead = c.Deletes;
    dead.push_back(c.Inserts);
    dead.push_back(c.Inserts + 5000);
    dead.push_back(-1);
    std::vector<std::uint8_t> buffer(kRecordSize);
    for (std::int32_t slot : dead) {
      EXPECT_FALSE(records.UpdateRecord(0, RecordOf(77).data(), IDOf(slot))) << "slot " << slot;
      TQELRecordID id = IDOf(slot);
      EXPECT_FALSE(records.DeleteRecord(0, id)) << "slot " << slot;
      TQELRecordRequest request;
      request.RecordID = IDOf(slot);
      request.Buffer = buffer.data();
      records.GetRecord(0, request);
      EXPECT_EQ(request.Result, count == 0 ? grEOF : grError) << "slot " << slot;
    }
    EXPECT_EQ(WalkForward(records), live) << "a refused change stored something";

    EXPECT_EQ(Insert(records, -1), c.NextSlot);
  }
}

TEST(MemoryRecordManagerTest, ReadsFromTheEndsAndOfAnEmptyTable) {
  TQELMemoryRecordManager records(kRecordSize, 4);
  std::vector<std::uint8_t> buffer(kRecordSize);
  TQELRecordRequest request;
  request.Buffer = buffer.data();
  for (TQELGetRecordMode mode : {grmCurrent, grmNext, grmPrior}) {
    request.Mode = mode;
    records.GetRecord(0, request);
    EXPECT_EQ(request.Result, grEOF);
  }
  Insert(records, 1);
  Insert(records, 2);
  const struct {
    bool BeforeFirst, AfterLast;
    TQELGetRecordMode Mode;
    TQELGetRecordResult Result;
  } ends[] = {
      {true, false, grmPrior, grBOF},   {true, false, grmCurrent, grError},
      {false, true, grmNext, grEOF},    {false, true, grmCurrent, grError},
      {true, false, grmNext, grOK},     {false, true, grmPrior, grOK},
  };
  for (const auto& e : ends) {
    request = TQELRecordRequest{};
    request.Buffer = buffer.data();
    request.BeforeFirst = e.BeforeFirst;
    request.AfterLast = e.AfterLast;
    request.Mode = e.Mode;
    records.GetRecord(0, request);
    EXPECT_EQ(request.Result, e.Result);
  }
  // A record found needs somewhere to go.
  request = TQELRecordRequest{};
  request.RecordID = IDOf(0);
  EXPECT_EQ(NativeErrorOf([&] { records.GetRecord(0, request); }), 10019);
}

// The estimate is the record's place among the records: 1 for the first,
// the record count for the last, never more, however sparse the slots.
TEST(MemoryRecordManagerTest, RecordsBeforeStaysWithinTheRecordCount) {
  TQELMemoryRecordManager records(kRecordSize, 1000);
  for (std::int32_t i = 0; i < 100; ++i) Insert(records, i);
  for (std::int32_t s : {0, 37, 99}) {
    EXPECT_EQ(records.GetRecordsBefore(0, IDOf(s)), s + 1) << "dense, slot " << s;
  }
  // Ten records spread over 9001 slots.
  TQELMemoryRecordManager sparse(kRecordSize, 1000);
  for (std::int32_t i = 0; i <= 9000; ++i) Insert(sparse, i);
  for (std::int32_t s = 0; s <= 9000; ++s) {
    if (s % 1000 == 0) continue;
    TQELRecordID id = IDOf(s);
    ASSERT_TRUE(sparse.DeleteRecord(0, id));
  }
  ASSERT_EQ(sparse.RecordCount(), 10);
  EXPECT_EQ(sparse.GetRecordsBefore(0, IDOf(0)), 1);
  EXPECT_EQ(sparse.GetRecordsBefore(0, IDOf(5000)), 6);
  EXPECT_EQ(sparse.GetRecordsBefore(0, IDOf(9000)), 10);
  EXPECT_EQ(sparse.GetRecordsBefore(0, IDOf(9001)), -1);
  TQELMemoryRecordManager one(kRecordSize, 1000);
  Insert(one, 5);
  EXPECT_EQ(one.GetRecordsBefore(0, IDOf(0)), 1);
}

TEST(MemoryRecordManagerTest, SlotsGrowGeometrically) {
  TQELMemoryRecordManager records(kRecordSize, 1000);
  std::int32_t growths = 0;
  std::int32_t slotCount = 0;
  for (std::int32_t i = 0; i < 200000; ++i) {
    Insert(records, i);
    if (records.SlotCount() != slotCount) {
      ++growths;
      slotCount = records.SlotCount();
    }
  }
  // A fixed step of 1000 would grow 200 times, copying ~20 GB of slots.
  EXPECT_LE(growths, 10);
  EXPECT_EQ(WalkForward(records).size(), 200000u);
}

// Growth that cannot be had (memory limit, or a size past what the slot
// array may take) answers false and leaves the records as they were.
TEST(MemoryRecordManagerTest, GrowthThatCannotBeHadStoresNothing) {
  TQELMemoryManager& memory = QELMemoryManager();
  const std::int64_t oldLimit = memory.MemoryLimit();
  {
    TQELMemoryRecordManager records(kRecordSize, 10);
    for (std::int32_t i = 0; i < 10; ++i) Insert(records, i);
    memory.SetMemoryLimit(memory.AllocatedBytes() + 16);
    TQELRecordID id{};
    EXPECT_FALSE(records.InsertRecord(0, RecordOf(99).data(), id));
    memory.SetMemoryLimit(oldLimit);
    EXPECT_EQ(records.RecordCount(), 10);
    EXPECT_EQ(WalkForward(records).size(), 10u);
    EXPECT_EQ(Insert(records, 10), 10);
  }
  {
    // 1000 slots of 1 GiB: 2^40 bytes, which 32-bit sizes would wrap to 0.
    TQELMemoryRecordManager huge(1 << 30, 1000);
    memory.SetMemoryLimit(memory.AllocatedBytes() + (std::int64_t{1} << 32));
    std::vector<std::uint8_t> record(16, 0);
    TQELRecordID id{};
    EXPECT_FALSE(huge.InsertRecord(0, record.data(), id));
    memory.SetMemoryLimit(oldLimit);
    EXPECT_EQ(huge.RecordCount(), 0);
    EXPECT_EQ(huge.SlotCount(), 0);
  }
}

TEST(MemoryRecordManagerTest, RecordSizeZeroIsRefused) {
  EXPECT_EQ(NativeErrorOf([] { TQELMemoryRecordManager records(0, 1000); }), 10011);
}

TEST(MemoryRecordManagerTest, CompareRecordIDsBySlot) {
  TQELMemoryRecordManager records(kRecordSize, 1000);
  EXPECT_EQ(records.CompareRecordIDs(IDOf(3), IDOf(-2)), 1);
  EXPECT_EQ(records.CompareRecordIDs(IDOf(-2), IDOf(3)), -1);
  EXPECT_EQ(records.CompareRecordIDs(IDOf(70000), IDOf(70000)), 0);
}

}  // namespace
}  // namespace qel
