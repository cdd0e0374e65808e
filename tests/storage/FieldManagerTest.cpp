// TQELBaseFieldManager: sequences, defaults and the stored sequence block.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "storage/QELTypes.h"
#include "streams/QELMemoryStream.h"

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;

class FakeSession : public TQELSessionSequenceValues {
 public:
  void SetSequenceLastValue(std::int32_t objectID, std::string_view, std::int64_t value) override {
    Values[objectID] = value;
  }
  bool FindSequenceLastValue(std::int32_t objectID, std::int64_t& value) const override {
    const auto found = Values.find(objectID);
    if (found == Values.end()) return false;
    value = found->second;
    return true;
  }
  std::map<std::int32_t, std::int64_t> Values;
};

std::int32_t ErrorCode(auto&& call) {
  try {
    call();
  } catch (const EQELException& e) {
    return e.NativeError();
  }
  return 0;
}

// NAME STRING(10), ID autoincrement of the given type.
TQELFieldDefs SequenceTable(TQELAdvancedFieldType idType) {
  TQELFieldDefs defs;
  defs.Add("NAME", aftString, 10).SetObjectID(1);
  defs.Add("ID", idType, 0).SetObjectID(2);
  return defs;
}

TEST(FieldManagerTest, SequenceStopsOrCyclesAtItsMaximum) {
  for (const bool cycled : {false, true}) {
    SCOPED_TRACE(cycled ? "cycled" : "not cycled");
    TQELFieldDefs defs = SequenceTable(aftAutoinc);
    defs[1].AutoincMaxValue = 3;
    defs[1].AutoincMinValue = 1;
    defs[1].AutoincCycled = cycled;
    TQELBaseFieldManager manager(nullptr);
    manager.SetFieldDefs(defs);
    std::vector<std::int64_t> values;
    for (int i = 0; i < 3; ++i) values.push_back(manager.GetNextAutoincValue(1));
    EXPECT_EQ(values, (std::vector<std::int64_t>{1, 2, 3}));
    if (cycled) {
      EXPECT_EQ(manager.GetNextAutoincValue(1), 1);
    } else {
      try {
        manager.GetNextAutoincValue(1);
        ADD_FAILURE() << "no exception";
      } catch (const EQELException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Autoinc max value exceeded for field 'ID' - Native error: 20160");
      }
      EXPECT_EQ(manager.AutoincValues()[1], 4);  // the incremented value stays
    }
  }
}

TEST(FieldManagerTest, IncrementAndInitialValue) {
  TQELFieldDefs defs = SequenceTable(aftAutoincLargeint);
  defs[1].AutoincIncrement = 0;  // counts as 1
  defs[1].AutoincInitialValue = 10;
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(defs);
  EXPECT_EQ(manager.AutoincValues(), (std::vector<std::int64_t>{0, 10}));
  EXPECT_EQ(manager.GetNextAutoincValue(1), 11);
  defs[1].AutoincIncrement = 5;
  manager.SetFieldDefs(defs);
  EXPECT_EQ(manager.GetNextAutoincValue(1), 15);
  // A largeint sequence at the top of int64 stops instead of overflowing.
  defs[1].AutoincInitialValue = INT64_MAX - 1;
  defs[1].AutoincIncrement = 1;
  manager.SetFieldDefs(defs);
  EXPECT_EQ(manager.GetNextAutoincValue(1), INT64_MAX);
  EXPECT_EQ(ErrorCode([&] { manager.GetNextAutoincValue(1); }), 20160);
  EXPECT_EQ(manager.AutoincValues()[1], INT64_MAX);
}

TEST(FieldManagerTest, SequenceNeverRunsPastWhatTheSlotHolds) {
  // An AUTOINCBYTE column holds 0..255; a 256th value would be stored as 0
  // and repeat the first keys.
  TQELFieldDefs defs = SequenceTable(aftAutoincByte);
  defs[1].AutoincInitialValue = 254;
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(defs);
  EXPECT_EQ(manager.GetNextAutoincValue(1), 255);
  EXPECT_EQ(ErrorCode([&] { manager.GetNextAutoincValue(1); }), 20160);

  defs[1].AutoincCycled = true;
  defs[1].AutoincMinValue = 1;
  manager.SetFieldDefs(defs);
  EXPECT_EQ(manager.GetNextAutoincValue(1), 255);
  EXPECT_EQ(manager.GetNextAutoincValue(1), 1);
}

TEST(FieldManagerTest, InsertedRecordsGetValuesAndExplicitValuesMoveTheSequence) {
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(SequenceTable(aftAutoinc));
  const TQELFieldDefs& defs = manager.FieldDefs();
  FakeSession session;
  Bytes record(static_cast<std::size_t>(defs.MemoryRecordSize()));
  const auto insert = [&](const std::int32_t* explicitValue) {
    std::fill(record.begin(), record.end(), 0);
    SetNull(true, 0, record.data());
    SetNull(true, 1, record.data());
    if (explicitValue) SetFieldData(1, defs, explicitValue, record.data());
    manager.ApplyAutoincValues(session, record.data());
    std::int32_t id = 0;
    EXPECT_TRUE(GetFieldData(1, defs, &id, record.data()));
    EXPECT_TRUE(IsNull(0, record.data()));  // other fields untouched
    return id;
  };
  EXPECT_EQ(insert(nullptr), 1);
  EXPECT_EQ(session.Values.at(2), 1);
  const std::int32_t hundred = 100, fifty = 50, minusOne = -1;
  EXPECT_EQ(insert(&hundred), 100);
  EXPECT_EQ(session.Values.at(2), 100);
  EXPECT_EQ(insert(nullptr), 101);
  EXPECT_EQ(insert(&fifty), 50);
  EXPECT_EQ(insert(nullptr), 102);
  // A negative explicit value in a signed column is below the sequence: it
  // must not read as 4294967295 and push the sequence past the column.
  EXPECT_EQ(insert(&minusOne), -1);
  EXPECT_EQ(insert(nullptr), 103);
  EXPECT_EQ(manager.GetLastAutoincValue(session, 1), 103);
}

TEST(FieldManagerTest, LastValueComesFromTheSession) {
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(SequenceTable(aftAutoinc));
  FakeSession session;
  try {
    manager.GetLastAutoincValue(session, 1);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()),
              "No SequenceLastValue in session for sequence 'ID'. Call GetNextVal first - "
              "Native error: 30012");
  }
  EXPECT_EQ(manager.GenerateAutoincValue(session, 1), 1);
  FakeSession other;
  EXPECT_EQ(manager.GenerateAutoincValue(other, 1), 2);
  EXPECT_EQ(manager.GetLastAutoincValue(session, 1), 1);
  EXPECT_EQ(manager.GetLastAutoincValue(other, 1), 2);
}

TEST(FieldManagerTest, SequenceBlockRoundTripsAndRejectsDamage) {
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(SequenceTable(aftAutoinc));
  manager.GetNextAutoincValue(1);
  manager.GetNextAutoincValue(1);
  Bytes buffer(40, 0xAA);
  std::int32_t position = 3;
  manager.SaveAutoincValues(buffer.data(), static_cast<std::int32_t>(buffer.size()), position);
  EXPECT_EQ(position, 3 + 4 + 16);
  EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.begin() + 23),
            (Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}));

  TQELBaseFieldManager loaded(nullptr);
  loaded.SetFieldDefs(SequenceTable(aftAutoinc));
  position = 3;
  loaded.LoadAutoincValues(buffer.data(), static_cast<std::int32_t>(buffer.size()), position);
  EXPECT_EQ(position, 23);
  EXPECT_EQ(loaded.GetNextAutoincValue(1), 3);

  // Too small a buffer, a cut block and a damaged count all fail without
  // touching the values.
  position = 30;
  EXPECT_EQ(ErrorCode([&] { manager.SaveAutoincValues(buffer.data(), 40, position); }), 20164);
  EXPECT_EQ(position, 30);
  for (std::int32_t size = 3; size < 23; ++size) {
    position = 3;
    EXPECT_EQ(ErrorCode([&] { loaded.LoadAutoincValues(buffer.data(), size, position); }), 20164);
  }
  for (const std::int32_t count : {-1, 5, 0x7FFFFFFF}) {
    QELStoreLE<std::int32_t>(buffer.data() + 3, count);
    position = 3;
    EXPECT_EQ(ErrorCode([&] { loaded.LoadAutoincValues(buffer.data(), 40, position); }), 20164);
  }
  EXPECT_EQ(loaded.AutoincValues(), (std::vector<std::int64_t>{0, 3}));

  // A stored block shorter than the fields leaves fields without a value.
  QELStoreLE<std::int32_t>(buffer.data() + 3, 1);
  position = 3;
  loaded.LoadAutoincValues(buffer.data(), 40, position);
  EXPECT_EQ(ErrorCode([&] { loaded.GetNextAutoincValue(1); }), 30403);
  EXPECT_EQ(ErrorCode([&] { loaded.GetNextAutoincValue(2); }), 30402);
}

TEST(FieldManagerTest, StoredDefinitionsReplaceTheFieldsAndRestartSequences) {
  TQELFieldDefs defs = SequenceTable(aftAutoinc);
  defs[1].AutoincInitialValue = 40;
  TQELMemoryStream stream;
  defs.SaveToStream(stream);
  const std::int64_t size = stream.GetSize();

  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(SequenceTable(aftAutoincLargeint));
  manager.GetNextAutoincValue(1);
  stream.SetPosition(0);
  manager.LoadFieldDefs(stream);
  EXPECT_EQ(manager.FieldDefs()[1].AdvancedFieldType(), aftAutoinc);
  EXPECT_EQ(manager.FieldDefs()[1].MemoryOffset(), 1 + 11);
  EXPECT_EQ(manager.GetNextAutoincValue(1), 41);

  // A cut stream changes nothing.
  stream.SetSize(size - 1);
  stream.SetPosition(0);
  EXPECT_NE(ErrorCode([&] { manager.LoadFieldDefs(stream); }), 0);
  EXPECT_EQ(manager.FieldDefs().Count(), 2);
  EXPECT_EQ(manager.GetNextAutoincValue(1), 42);
}

// A default computed per record: counts up from 1.
class CountingDefault : public TQELDefaultExpression {
 public:
  explicit CountingDefault(int* calls) : FCalls(calls) {}
  void Evaluate(TQELVariant& result) override { result.SetAsInteger(++*FCalls); }
  std::unique_ptr<TQELDefaultExpression> Clone() const override {
    return std::make_unique<CountingDefault>(FCalls);
  }

 private:
  int* FCalls;
};

TEST(FieldManagerTest, DefaultsAreConvertedAndExpressionsEvaluatedPerRecord) {
  TQELFieldDefs defs;
  defs.Add("NAME", aftString, 4).DefaultValue().SetAsString("n/a-long");
  defs.Add("WHEN", aftDate, 0);
  defs.Add("SEQ", aftSmallint, 0);
  defs.Add("NOTE", aftMemo, 0).DefaultValue().SetAsString("ignored");
  defs[1].DefaultValue().SetAsString("2006-03-15");
  int calls = 0;
  defs[2].DefaultValue().SetAsString("NEXT()");
  defs[2].SetDefaultExpression(std::make_unique<CountingDefault>(&calls));
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(defs);  // copies the expression too
  const TQELFieldDefs& laid = manager.FieldDefs();

  for (int round = 1; round <= 2; ++round) {
    Bytes record(static_cast<std::size_t>(laid.MemoryRecordSize()), 0);
    std::fill(record.begin(), record.begin() + 1, 0x0F);
    manager.ApplyDefaultValues(record.data());
    TQELVariant value;
    ASSERT_TRUE(GetFieldValue(0, laid, record.data(), value));
    EXPECT_EQ(value.AsString(), "n/a-");
    ASSERT_TRUE(GetFieldValue(1, laid, record.data(), value));
    std::int32_t expectedDay = 0;
    ASSERT_TRUE(QELTryEncodeDate(2006, 3, 15, expectedDay));
    EXPECT_EQ(value.AsDateNumber(), expectedDay);
    ASSERT_TRUE(GetFieldValue(2, laid, record.data(), value));
    EXPECT_EQ(value.AsSmallint(), round);
    EXPECT_TRUE(IsNull(3, record.data()));
  }
  EXPECT_EQ(calls, 2);
}

TEST(FieldManagerTest, BlobFieldsNeedABlockSize) {
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(SequenceTable(aftAutoinc));
  EXPECT_FALSE(manager.HasBlobFields());
  TQELFieldDefs defs = SequenceTable(aftAutoinc);
  defs.Add("PIC", aftGraphic, 0);
  manager.SetFieldDefs(defs);
  EXPECT_TRUE(manager.HasBlobFields());
  defs[2].BlobBlockSize = 0;
  manager.SetFieldDefs(defs);
  try {
    manager.HasBlobFields();
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "BLOB block size should be > 0 for field PIC - Native error: 10421");
  }
}

}  // namespace
}  // namespace qel
