// TQELTemporaryRecordManager: records in memory up to the limit and in the
// spill file beyond it at their offsets, read back in every direction and
// by number; memory that grows geometrically up to the limit, a write
// buffer made only when needed and written only when full, failing writes
// that store nothing and lose nothing, 48-bit ids and 64-bit sizes, and the
// refusals of bad input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "memory/QELMemory.h"
#include "platform/QELFaultInjection.h"
#include "storage/QELTemporaryRecordManager.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::int32_t kRecordSize = 16;
constexpr std::int32_t kSession = 0;

TQELRecordID IDOf(std::uint64_t number) { return TQELTemporaryRecordManager::IDOf(number); }
std::uint64_t NumberOf(const TQELRecordID& id) { return TQELTemporaryRecordManager::NumberOf(id); }

// Record i: its number and a pattern that differs in every byte.
std::vector<std::uint8_t> RecordOf(std::int64_t i, std::int32_t size = kRecordSize) {
  std::vector<std::uint8_t> record(static_cast<std::size_t>(size));
  for (std::int32_t b = 0; b < size; ++b) {
    record[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(i * 131 + b * 7 + (i >> 8));
  }
  std::memcpy(record.data(), &i, std::min<std::size_t>(sizeof(i), record.size()));
  return record;
}

std::unique_ptr<TQELTemporaryRecordManager> NewManager(std::int64_t limit, bool memoryOnly = false,
                                                       std::int32_t bufferRecords = 1000,
                                                       std::int32_t recordSize = kRecordSize) {
  return std::make_unique<TQELTemporaryRecordManager>(recordSize, memoryOnly, 10, bufferRecords,
                                                      limit);
}

void InsertRange(TQELTemporaryRecordManager& records, std::int64_t from, std::int64_t to) {
  for (std::int64_t i = from; i < to; ++i) {
    TQELRecordID id{};
    ASSERT_TRUE(records.InsertRecord(kSession, RecordOf(i, records.RecordBufferSize()).data(), id));
    ASSERT_EQ(NumberOf(id), static_cast<std::uint64_t>(i));
  }
}

// The record numbers a walk from either end meets, in walking order.
std::vector<std::int64_t> Walk(TQELTemporaryRecordManager& records, bool forward) {
  std::vector<std::int64_t> seen;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(records.RecordBufferSize()));
  TQELRecordRequest request;
  request.Buffer = buffer.data();
  request.BeforeFirst = forward;
  request.AfterLast = !forward;
  request.Mode = forward ? grmNext : grmPrior;
  for (records.GetRecord(kSession, request); request.Result == grOK;
       records.GetRecord(kSession, request)) {
    const auto number = static_cast<std::int64_t>(NumberOf(request.RecordID));
    if (buffer != RecordOf(number, records.RecordBufferSize())) {
      ADD_FAILURE() << "record " << number << " read back wrong";
      break;
    }
    seen.push_back(number);
  }
  EXPECT_EQ(request.Result, forward ? grEOF : grBOF);
  return seen;
}

TQELRecordRequest ReadCurrent(TQELTemporaryRecordManager& records, std::uint64_t number,
                              std::uint8_t* buffer) {
  TQELRecordRequest request;
  request.Mode = grmCurrent;
  request.RecordID = IDOf(number);
  request.Buffer = buffer;
  records.GetRecord(kSession, request);
  return request;
}

// With limits 0, 3 and 1 000, 10 000 records read back equal walking
// forward, backward and by number in random order; the records past the
// limit lie in the spill file at (number - limit) x record size, written
// in a handful of full-buffer writes rather than one per record.
TEST(TemporaryRecordManagerTest, RecordsPastTheLimitSpillAtTheirOffsetsAndReadBackEveryWay) {
  constexpr std::int64_t kCount = 10000;
  for (const std::int64_t limit : {0, 3, 1000}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    TQELFaultInjector counter;
    auto records = NewManager(limit);
    InsertRange(*records, 0, kCount);
    EXPECT_EQ(records->RecordCount(), kCount);
    EXPECT_EQ(records->MemoryRecordCount(), limit);
    EXPECT_LE(records->MemoryCapacity(), limit);
    ASSERT_NE(records->SpillFile(), nullptr);

    std::vector<std::int64_t> expected(kCount);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(Walk(*records, true), expected);
    std::vector<std::int64_t> backward = Walk(*records, false);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(backward, expected);

    std::vector<std::uint64_t> order(kCount);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(limit)));
    std::vector<std::uint8_t> buffer(kRecordSize);
    for (const std::uint64_t number : order) {
      const TQELRecordRequest read = ReadCurrent(*records, number, buffer.data());
      ASSERT_EQ(read.Result, grOK) << number;
      ASSERT_EQ(buffer, RecordOf(static_cast<std::int64_t>(number))) << number;
    }

    // The design's buffer flushed before every spilled insert: one write per
    // record. Full buffers of 1 000 make ten writes at most.
    records->FlushWriteBuffer();
    const std::int64_t spilled = kCount - limit;
    EXPECT_LE(counter.Count(fopWrite), (spilled + 999) / 1000);
    TQELFileStream& file = *records->SpillFile();
    EXPECT_EQ(file.GetSize(), spilled * kRecordSize);
    for (const std::int64_t number : {limit, limit + 1, (limit + kCount) / 2, kCount - 1}) {
      file.SetPosition((number - limit) * kRecordSize);
      ASSERT_EQ(file.Read(buffer.data(), kRecordSize), kRecordSize);
      EXPECT_EQ(buffer, RecordOf(number)) << number;
    }
  }
}

// The records in memory grow by doubling from the grow step, never past
// the limit; a memory-only manager keeps doubling and never makes a file.
TEST(TemporaryRecordManagerTest, MemoryGrowsGeometricallyUpToTheLimit) {
  for (const bool memoryOnly : {false, true}) {
    SCOPED_TRACE(memoryOnly ? "memory only" : "limit 1000");
    auto records = NewManager(1000, memoryOnly);
    std::vector<std::int64_t> capacities;
    for (std::int64_t i = 0; i < 5000; ++i) {
      InsertRange(*records, i, i + 1);
      if (capacities.empty() || capacities.back() != records->MemoryCapacity()) {
        capacities.push_back(records->MemoryCapacity());
      }
    }
    const std::vector<std::int64_t> limited = {10, 20, 40, 80, 160, 320, 640, 1000};
    const std::vector<std::int64_t> unlimited = {10, 20, 40, 80, 160, 320, 640, 1280, 2560, 5120};
    EXPECT_EQ(capacities, memoryOnly ? unlimited : limited);
    EXPECT_EQ(records->SpillFile() == nullptr, memoryOnly);
    EXPECT_EQ(records->MemoryRecordCount(), memoryOnly ? 5000 : 1000);
  }
}

// A manager of wide records takes no write buffer until a record goes to
// the file, and then not a thousand records' worth.
TEST(TemporaryRecordManagerTest, TheWriteBufferIsMadeAtTheFirstSpillAndBoundedInBytes) {
  constexpr std::int32_t kWide = 65536;
  const std::int64_t before = QELMemoryManager().AllocatedBytes();
  auto records = NewManager(3, false, 1000, kWide);
  InsertRange(*records, 0, 3);
  EXPECT_FALSE(records->HasWriteBuffer());
  EXPECT_EQ(records->SpillFile(), nullptr);
  EXPECT_LE(QELMemoryManager().AllocatedBytes() - before, 3 * kWide);
  InsertRange(*records, 3, 4);
  EXPECT_TRUE(records->HasWriteBuffer());
  EXPECT_EQ(records->BufferRecordCount(), TQELTemporaryRecordManager::kMaxWriteBufferBytes / kWide);
  EXPECT_LE(QELMemoryManager().AllocatedBytes() - before,
            3 * kWide + TQELTemporaryRecordManager::kMaxWriteBufferBytes);
  InsertRange(*records, 4, 40);
  EXPECT_EQ(Walk(*records, true).size(), 40u);
  records.reset();
  EXPECT_EQ(QELMemoryManager().AllocatedBytes(), before);
}

// A write of the full buffer that fails (an I/O error, a full disk) raises
// "Error writing to stream" with the new record not stored; the records
// already counted stay buffered and readable, and the next insert after
// the fault writes them out.
TEST(TemporaryRecordManagerTest, AFailingWriteStoresNothingAndLosesNothing) {
  for (const int error : {EIO, ENOSPC}) {
    SCOPED_TRACE(error == EIO ? "EIO" : "ENOSPC");
    auto records = NewManager(2, false, 4);
    InsertRange(*records, 0, 6);
    TQELFaultInjector faults;
    faults.FailFrom(fopWrite, 1, error);
    TQELRecordID id{};
    EXPECT_EQ(NativeErrorOf([&] { records->InsertRecord(kSession, RecordOf(6).data(), id); }),
              10125);
    EXPECT_EQ(records->RecordCount(), 6);
    EXPECT_EQ(NativeErrorOf([&] { records->FlushWriteBuffer(); }), 10125);
    EXPECT_EQ(Walk(*records, true), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
    faults.ClearFaults();
    InsertRange(*records, 6, 20);
    std::vector<std::int64_t> all(20);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(Walk(*records, true), all);

    // A file record that cannot be read is a defined error (record 2, read
    // out of order, is alone in the read buffer: record 3 is read anew).
    std::vector<std::uint8_t> buffer(kRecordSize);
    EXPECT_EQ(ReadCurrent(*records, 10, buffer.data()).Result, grOK);
    EXPECT_EQ(ReadCurrent(*records, 2, buffer.data()).Result, grOK);
    faults.FailOnce(fopRead, faults.Count(fopRead) + 1);
    EXPECT_EQ(NativeErrorOf([&] { ReadCurrent(*records, 3, buffer.data()); }), 10127);
    EXPECT_EQ(ReadCurrent(*records, 3, buffer.data()).Result, grOK);
    EXPECT_EQ(buffer, RecordOf(3));
  }
}

// Memory that runs out before the limit sends the rest to the file (the
// small write buffer still fits); a memory-only manager refuses the record
// and stores nothing.
TEST(TemporaryRecordManagerTest, RunningOutOfMemorySpillsEarlyOrRefusesTheRecord) {
  const std::int64_t oldLimit = QELMemoryManager().MemoryLimit();
  for (const bool memoryOnly : {false, true}) {
    SCOPED_TRACE(memoryOnly ? "memory only" : "may spill");
    auto records = NewManager(100000, memoryOnly, 4);
    InsertRange(*records, 0, 100);
    QELMemoryManager().SetMemoryLimit(QELMemoryManager().AllocatedBytes() + 64 * kRecordSize);
    TQELRecordID id{};
    bool stored = true;
    for (std::int64_t i = 100; i < 400 && stored; ++i) {
      try {
        stored = records->InsertRecord(kSession, RecordOf(i).data(), id);
      } catch (const EQELException&) {
        stored = false;
      }
    }
    QELMemoryManager().SetMemoryLimit(oldLimit);
    if (memoryOnly) {
      EXPECT_FALSE(stored);
      EXPECT_LT(records->RecordCount(), 400);
      EXPECT_EQ(records->SpillFile(), nullptr);
    } else {
      EXPECT_TRUE(stored);
      EXPECT_EQ(records->RecordCount(), 400);
      EXPECT_EQ(records->MaxMemoryRecords(), records->MemoryCapacity());
    }
    std::vector<std::int64_t> all(static_cast<std::size_t>(records->RecordCount()));
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(Walk(*records, true), all);
  }
}

// Ids are unsigned 48-bit insertion numbers: they convert and compare as
// numbers beyond 2^31 and 2^32, where a signed 32-bit reading would turn
// them around. The memory share and file offsets are 64-bit products.
TEST(TemporaryRecordManagerTest, IdsAreFortyEightBitNumbersAndSizesSixtyFourBit) {
  const std::uint64_t high = (std::uint64_t{1} << 32) + 5;
  const std::uint64_t top = (std::uint64_t{1} << 48) - 1;
  for (const std::uint64_t number : {std::uint64_t{0}, std::uint64_t{1} << 31, high, top}) {
    EXPECT_EQ(NumberOf(IDOf(number)), number);
  }
  EXPECT_EQ(IDOf(high), (TQELRecordID{5, 0, 0, 0, 1, 0}));
  auto records = NewManager(10);
  EXPECT_EQ(records->CompareRecordIDs(IDOf(high), IDOf(1)), 1);
  EXPECT_EQ(records->CompareRecordIDs(IDOf(std::uint64_t{1} << 31), IDOf(5)), 1);
  EXPECT_EQ(records->CompareRecordIDs(IDOf(7), IDOf(top)), -1);
  EXPECT_EQ(records->CompareRecordIDs(IDOf(high), IDOf(high)), 0);

  // 64 GB available and one-byte records: a share beyond the int32 range.
  const std::int64_t available = std::int64_t{64} << 30;
  EXPECT_EQ(TQELTemporaryRecordManager::MemoryShareInRecords(available, 1), available / 10);
  EXPECT_EQ(TQELTemporaryRecordManager::MemoryShareInRecords(available, 65536),
            available / 10 / 65536);
  EXPECT_EQ(TQELTemporaryRecordManager::FileOffset(std::int64_t{1} << 33, 0, 65536),
            std::int64_t{1} << 49);
}

// The walk's ends and refusals: an empty manager answers EOF to every mode,
// the ends answer BOF and EOF, a number past the end is no current record
// (stepping back from it reaches the last one), a read without buffer and
// any other mode are defined answers, and records never change or go.
TEST(TemporaryRecordManagerTest, WalkEndsAndRefusals) {
  auto records = NewManager(2);
  std::vector<std::uint8_t> buffer(kRecordSize);
  TQELRecordRequest request;
  request.Buffer = buffer.data();
  for (const TQELGetRecordMode mode : {grmCurrent, grmNext, grmPrior}) {
    request.Mode = mode;
    records->GetRecord(kSession, request);
    EXPECT_EQ(request.Result, grEOF);
  }
  InsertRange(*records, 0, 5);
  struct TCase {
    TQELGetRecordMode Mode;
    bool BeforeFirst, AfterLast;
    std::uint64_t From;
    TQELGetRecordResult Result;
    std::uint64_t Found;
  };
  const std::vector<TCase> cases = {
      {grmNext, true, false, 0, grOK, 0},     {grmPrior, true, false, 0, grBOF, 0},
      {grmCurrent, true, false, 0, grError, 0}, {grmPrior, false, true, 0, grOK, 4},
      {grmNext, false, true, 0, grEOF, 0},    {grmCurrent, false, true, 0, grError, 0},
      {grmNext, false, false, 4, grEOF, 4},   {grmPrior, false, false, 0, grBOF, 0},
      {grmCurrent, false, false, 5, grError, 5}, {grmPrior, false, false, 1000, grOK, 4},
      {grmNext, false, false, 2, grOK, 3},    {grmPrior, false, false, 3, grOK, 2},
  };
  for (const TCase& c : cases) {
    TQELRecordRequest step;
    step.Mode = c.Mode;
    step.BeforeFirst = c.BeforeFirst;
    step.AfterLast = c.AfterLast;
    step.RecordID = IDOf(c.From);
    step.Buffer = buffer.data();
    records->GetRecord(kSession, step);
    EXPECT_EQ(step.Result, c.Result) << int(c.Mode) << " from " << c.From;
    EXPECT_EQ(NumberOf(step.RecordID), c.Found) << int(c.Mode) << " from " << c.From;
    if (c.Result == grOK) {
      EXPECT_EQ(buffer, RecordOf(static_cast<std::int64_t>(c.Found)));
    }
  }
  EXPECT_EQ(NativeErrorOf([&] { ReadCurrent(*records, 3, nullptr); }), 10127);
  request = {};
  request.Mode = static_cast<TQELGetRecordMode>(7);
  request.Buffer = buffer.data();
  records->GetRecord(kSession, request);
  EXPECT_EQ(request.Result, grError);

  TQELRecordID id = IDOf(1);
  EXPECT_FALSE(records->UpdateRecord(kSession, RecordOf(9).data(), id));
  EXPECT_FALSE(records->DeleteRecord(kSession, id));
  EXPECT_FALSE(records->InsertRecord(kSession, nullptr, id));
  EXPECT_EQ(records->GetRecordsBefore(kSession, IDOf(3)), 4);
  EXPECT_EQ(records->GetRecordsBefore(kSession, IDOf(5)), -1);
  EXPECT_EQ(Walk(*records, true), (std::vector<std::int64_t>{0, 1, 2, 3, 4}));

  records->EmptyRecords(kSession);
  EXPECT_EQ(records->RecordCount(), 0);
  EXPECT_EQ(records->SpillFile(), nullptr);
  EXPECT_FALSE(records->HasWriteBuffer());
  InsertRange(*records, 0, 3);
  EXPECT_EQ(Walk(*records, true), (std::vector<std::int64_t>{0, 1, 2}));

  for (const std::int32_t size : {0, -1}) {
    EXPECT_EQ(NativeErrorOf([&] { TQELTemporaryRecordManager bad(size, false, 10, 1000); }), 10124);
  }
}

}  // namespace
}  // namespace qel
