// TQELMemoryRecordManager: which slot a record takes, how slots and record
// numbers convert once records were deleted, the refusals of slots that
// hold no record, the cost estimate, and the growth of the slot array
// (geometric, in chunks that keep every record at its slot, 64-bit,
// refused when memory runs out).

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
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(records.RecordBufferSize()));
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
  // Every headroom from none to more than a growth takes: somewhere in
  // between the new chunk fits but the free bits cannot grow beside it,
  // and the chunk must go again.
  for (std::int64_t headroom = 0; headroom < 400; headroom += 2) {
    SCOPED_TRACE("headroom " + std::to_string(headroom));
    TQELMemoryRecordManager records(kRecordSize, 10);
    for (std::int32_t i = 0; i < 10; ++i) Insert(records, i);
    memory.SetMemoryLimit(memory.AllocatedBytes() + headroom);
    TQELRecordID id{};
    const bool stored = records.InsertRecord(0, RecordOf(10).data(), id);
    memory.SetMemoryLimit(oldLimit);
    EXPECT_EQ(records.SlotCount(), stored ? 26 : 10);
    if (!stored) {
      EXPECT_EQ(Insert(records, 10), 10);
    }
    EXPECT_EQ(records.SlotCount(), 26);
    ASSERT_EQ(WalkForward(records).size(), 11u);
    for (std::int32_t i = 0; i <= 10; ++i) {
      std::vector<std::uint8_t> buffer(kRecordSize);
      TQELRecordRequest request;
      request.RecordID = IDOf(i);
      request.Buffer = buffer.data();
      records.GetRecord(0, request);
      ASSERT_EQ(buffer, RecordOf(i)) << "slot " << i;
    }
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

// The bytes of record `i` of size `size`: every byte tells the record and
// its offset, so that a record read from a wrong slot, chunk or offset
// does not match.
std::vector<std::uint8_t> PatternOf(std::int32_t i, std::int32_t size) {
  std::vector<std::uint8_t> record(static_cast<std::size_t>(size));
  for (std::int32_t b = 0; b < size; ++b) {
    record[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(i * 31 + b * 7 + (i >> 8));
  }
  return record;
}

// Grow steps on both sides of a power of two (the second chunk is the
// power of two at or above the step) and record sizes that do not divide
// a chunk evenly: every record reads back at its slot, forward and
// backward, after the chunks grew, after updates at both ends of each
// chunk, and after emptying and filling again. The capacity about doubles
// at each growth.
TEST(MemoryRecordManagerTest, ChunkGrowthKeepsEveryRecordAtItsSlot) {
  for (const std::int32_t growStep : {1, 2, 3, 7, 64, 1000, 1024, 1025}) {
    for (const std::int32_t size : {1, 13}) {
      SCOPED_TRACE("grow step " + std::to_string(growStep) + ", record size " + std::to_string(size));
      TQELMemoryRecordManager records(size, growStep);
      const std::int32_t count = 3 * growStep + 5000;
      std::vector<std::int32_t> capacities;
      const auto fill = [&] {
        for (std::int32_t i = 0; i < count; ++i) {
          TQELRecordID id{};
          ASSERT_TRUE(records.InsertRecord(0, PatternOf(i, size).data(), id));
          ASSERT_EQ(TQELMemoryRecordManager::SlotOf(id), i);
          if (capacities.empty() || capacities.back() != records.SlotCount()) {
            capacities.push_back(records.SlotCount());
          }
        }
      };
      // Each record at its slot, reached directly, and by a walk either way.
      const auto expectAll = [&](const std::vector<std::int32_t>& changed) {
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size));
        for (std::int32_t i = 0; i < count; ++i) {
          const bool isChanged = std::find(changed.begin(), changed.end(), i) != changed.end();
          TQELRecordRequest request;
          request.RecordID = IDOf(i);
          request.Buffer = buffer.data();
          records.GetRecord(0, request);
          ASSERT_EQ(request.Result, grOK) << "slot " << i;
          ASSERT_EQ(buffer, PatternOf(isChanged ? i + 1 : i, size)) << "slot " << i;
        }
        ASSERT_EQ(WalkForward(records).size(), static_cast<std::size_t>(count));
        ASSERT_EQ(WalkBackward(records).size(), static_cast<std::size_t>(count));
      };
      fill();
      expectAll({});
      ASSERT_EQ(capacities.front(), growStep);
      for (std::size_t k = 1; k < capacities.size(); ++k) {
        const std::int32_t added = capacities[k] - capacities[k - 1];
        EXPECT_GE(added, k == 1 ? growStep : capacities[k - 1] - capacities[k - 2]) << "growth " << k;
        EXPECT_LE(added, 2 * std::max(growStep, capacities[k - 1])) << "growth " << k;
      }

      // The first and last slot of every chunk, as the capacities give them.
      std::vector<std::int32_t> edges = {0};
      for (const std::int32_t capacity : capacities) {
        if (capacity - 1 < count) edges.push_back(capacity - 1);
        if (capacity < count) edges.push_back(capacity);
      }
      for (const std::int32_t slot : edges) {
        ASSERT_TRUE(records.UpdateRecord(0, PatternOf(slot + 1, size).data(), IDOf(slot)));
      }
      expectAll(edges);

      records.EmptyRecords(0);
      EXPECT_EQ(records.SlotCount(), 0);
      capacities.clear();
      fill();
      expectAll({});
    }
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
