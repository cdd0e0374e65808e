// TQELRecordBitmap over a stand-in table whose record number is the first
// four bytes of the record id: building and staleness, keeping the bits
// current, ranks and searches, and the record manager's change counter
// that stamps are compared with.

#include <gtest/gtest.h>

#include <limits>

#include "platform/QELEndian.h"
#include "storage/QELBaseRecordManager.h"
#include "storage/QELRecordBitmap.h"
#include "storage/QELTableDataBase.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

class TNumberedTable final : public TQELTableDataBase {
 public:
  TNumberedTable() : TQELTableDataBase("T") {}
  std::int64_t GetRecordNumberLimit(std::int32_t) override { return Limit; }
  std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) override {
    return QELReadLE<std::int32_t>(recordID.data());
  }
  void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) override {
    recordID = {};
    QELWriteLE<std::int32_t>(recordID.data(), static_cast<std::int32_t>(number));
  }
  void RefreshIndexes(std::int32_t) override {}

  std::int64_t Limit = 10;
};

TQELRecordID Rec(std::int32_t number) {
  TQELRecordID id{};
  QELWriteLE<std::int32_t>(id.data(), number);
  return id;
}

TEST(RecordBitmapTest, RequiresTableData) {
  EXPECT_EQ(NativeErrorOf([] { TQELRecordBitmap bitmap(nullptr); }), 10425);
}

TEST(RecordBitmapTest, BuildStampsAndSizesAndStaysInactiveUntilDone) {
  TNumberedTable table;
  TQELRecordBitmap bitmap(&table);
  EXPECT_EQ(bitmap.Stamp(), -1);
  EXPECT_FALSE(bitmap.Active());
  EXPECT_TRUE(bitmap.IsStale(0));

  bitmap.SetRecord(Rec(3));
  bitmap.SetActive(true);
  table.Limit = 25;
  bitmap.BeginBuild(1, 7, false);
  EXPECT_FALSE(bitmap.Active());
  EXPECT_EQ(bitmap.Stamp(), 7);
  EXPECT_EQ(bitmap.Bits().Size(), 25);
  EXPECT_EQ(bitmap.Bits().SetCount(), 0);  // nothing left over from before
  bitmap.SetActive(true);
  EXPECT_FALSE(bitmap.IsStale(7));
  EXPECT_TRUE(bitmap.IsStale(8));

  table.Limit = std::int64_t{1} << 40;
  EXPECT_EQ(NativeErrorOf([&] { bitmap.BeginBuild(1, 8, false); }), 10395);
}

TEST(RecordBitmapTest, RecordChangesKeepTheBitsCurrent) {
  TNumberedTable table;
  TQELRecordBitmap bitmap(&table);
  bitmap.BeginBuild(0, 0, false);
  bitmap.SetActive(true);
  bitmap.SetRecord(Rec(3));
  bitmap.SetRecord(Rec(40));  // beyond the built size: the bits grow
  EXPECT_EQ(bitmap.Bits().Size(), 41);
  EXPECT_TRUE(bitmap.Active());
  EXPECT_EQ(bitmap.CountBefore(Rec(3)), 1);
  EXPECT_EQ(bitmap.CountBefore(Rec(40)), 2);
  EXPECT_EQ(bitmap.CountBefore(Rec(20)), 2);  // the rank it would get
  EXPECT_EQ(bitmap.CountBefore(Rec(41)), -1);
  EXPECT_EQ(bitmap.CountBefore(Rec(-1)), -1);

  bitmap.ClearRecord(Rec(3));
  bitmap.ClearRecord(Rec(1000));  // never set: nothing to grow for
  EXPECT_EQ(bitmap.Bits().Size(), 41);
  EXPECT_EQ(bitmap.CountBefore(Rec(40)), 1);
  EXPECT_EQ(NativeErrorOf([&] { bitmap.SetRecord(Rec(-2)); }), 10395);
  EXPECT_EQ(NativeErrorOf([&] { bitmap.ClearRecord(Rec(-2)); }), 10395);
}

TEST(RecordBitmapTest, ChangesInIndexPositionSpaceInvalidate) {
  TNumberedTable table;
  TQELRecordBitmap bitmap(&table);
  bitmap.BeginBuild(0, 0, true);
  bitmap.Bits().SetBit(2, true);
  bitmap.SetActive(true);
  EXPECT_TRUE(bitmap.ByIndexPosition());
  bitmap.SetRecord(Rec(5));
  EXPECT_FALSE(bitmap.Active());
  EXPECT_FALSE(bitmap.Bits().GetBit(5));
  bitmap.SetActive(true);
  bitmap.ClearRecord(Rec(2));
  EXPECT_FALSE(bitmap.Active());
  EXPECT_TRUE(bitmap.Bits().GetBit(2));
  TQELRecordID id{};
  EXPECT_FALSE(bitmap.FindNext(true, true, 0, id));  // positions are not record numbers
  std::int64_t position = -1;
  ASSERT_TRUE(bitmap.FindNextPosition(true, true, 0, position));
  EXPECT_EQ(position, 2);
}

TEST(RecordBitmapTest, FindNextFromAnyPosition) {
  TNumberedTable table;
  TQELRecordBitmap bitmap(&table);
  bitmap.BeginBuild(0, 0, false);
  for (std::int32_t i : {0, 4, 9}) bitmap.SetRecord(Rec(i));
  struct Case {
    bool Forward;
    bool Include;
    std::int64_t From;
    std::int64_t Expected;  // -1: none
  };
  const Case cases[] = {
      {true, true, 4, 4},
      {true, false, 4, 9},
      {false, true, 4, 4},
      {false, false, 4, 0},
      {true, false, -1, 0},
      {true, true, std::numeric_limits<std::int64_t>::min(), 0},
      {false, true, std::numeric_limits<std::int64_t>::max(), 9},
      {false, false, 10, 9},
      {true, false, 9, -1},
      {false, false, 0, -1},
  };
  for (const Case& c : cases) {
    TQELRecordID id{};
    const bool found = bitmap.FindNext(c.Forward, c.Include, c.From, id);
    EXPECT_EQ(found, c.Expected >= 0) << c.From << " forward " << c.Forward;
    if (found) {
      EXPECT_EQ(id, Rec(static_cast<std::int32_t>(c.Expected))) << c.From;
    }
  }
}

// A record manager that only counts changes.
class TCountingRecordManager final : public TQELBaseRecordManager {
 public:
  TCountingRecordManager() : TQELBaseRecordManager(16) {}
  void StartCountAt(std::int32_t count) { FChangeCount = count; }
  void EmptyRecords(std::int32_t) override {}
  bool InsertRecord(std::int32_t, const std::uint8_t*, TQELRecordID&) override {
    ++FRecordCount;
    NoteChange();
    return true;
  }
  bool UpdateRecord(std::int32_t, const std::uint8_t*, const TQELRecordID&) override {
    return false;
  }
  bool DeleteRecord(std::int32_t, TQELRecordID&) override { return false; }
  void GetRecord(std::int32_t, TQELRecordRequest& request) override { request.Result = grError; }
  std::int32_t CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) override {
    return qel::CompareRecordIDs(a.data(), b.data());
  }
  std::int64_t GetRecordsBefore(std::int32_t, const TQELRecordID&) override { return 0; }
};

TEST(RecordBitmapTest, ChangeCounterWrapsAndStillMakesStampsStale) {
  TNumberedTable table;
  TCountingRecordManager manager;
  EXPECT_EQ(manager.RecordBufferSize(), 16);
  manager.StartCountAt(std::numeric_limits<std::int32_t>::max());
  TQELRecordBitmap bitmap(&table);
  bitmap.BeginBuild(0, manager.ChangeCount(), false);
  TQELRecordID id{};
  manager.InsertRecord(0, nullptr, id);  // no signed overflow
  EXPECT_EQ(manager.ChangeCount(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(manager.RecordCount(), 1);
  EXPECT_TRUE(bitmap.IsStale(manager.ChangeCount()));
}

}  // namespace
}  // namespace qel
