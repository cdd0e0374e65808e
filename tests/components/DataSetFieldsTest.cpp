// Field values through the dataset: every type written, posted, reopened
// and read back; the engine's refusals as EQELEngineError; searches and
// filters; and what bad input must not break.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELDataSet.h"
#include "components/db/QELDatabaseError.h"
#include "values/QELValueCodec.h"

namespace qel::test {
namespace {

double DateOf(int year, int month, int day) {
  std::int32_t number = 0;
  EXPECT_TRUE(QELTryEncodeDate(year, month, day, number));
  return number - kQELDateDelta;
}

class DataSetFieldsTest : public TConnectedDatabaseTest {
 protected:
  void SetUp() override {
    TConnectedDatabaseTest::SetUp();
    Data.ShortRecordLockWaits = true;
    TQELFieldDefs fields;
    fields.Add("ID", aftInteger, 0);
    fields.Add("S", aftString, 10);
    fields.Add("W", aftWideString, 5);
    fields.Add("SI", aftSmallint, 0);
    fields.Add("SH", aftShortint, 0);
    fields.Add("BT", aftByte, 0);
    fields.Add("WD", aftWord, 0);
    fields.Add("CA", aftCardinal, 0);
    fields.Add("LI", aftLargeint, 0);
    fields.Add("SG", aftSingle, 0);
    fields.Add("DB", aftDouble, 0);
    fields.Add("EX", aftExtended, 0);
    fields.Add("BO", aftBoolean, 0);
    fields.Add("CU", aftCurrency, 0);
    fields.Add("DA", aftDate, 0);
    fields.Add("TI", aftTime, 0);
    fields.Add("DT", aftDateTime, 0);
    fields.Add("TS", aftTimeStamp, 0);
    fields.Add("BY", aftBytes, 4);
    fields.Add("ME", aftMemo, 0);
    fields.Add("BL", aftBlob, 0);
    fields.Add("GU", aftGuid, 38);
    TQELIndexDefs indexes;
    TQELIndexDef& byID = indexes.Add();
    byID.SetName("BY_ID");
    byID.AddColumn("ID");
    byID.Unique = true;
    TQELIndexDef& byS = indexes.Add();
    byS.SetName("BY_S");
    byS.AddColumn("S", false, true);
    // SH holds at most 100: the constraint the editing tests violate.
    TQELConstraintDefs constraints;
    TQELConstraintDefCheck& check = constraints.AddCheck();
    check.SetName("SH_RANGE");
    check.TargetName = "SH";
    check.MinValue.SetAsInteger(-128);
    check.MaxValue.SetAsInteger(100);
    TQELLocalCursor cursor;
    cursor.Session = Database->EngineSession();
    cursor.SetTableName("F");
    cursor.CreateTable(fields, indexes, constraints);
    Data.TableName = "F";
    Data.SetDatabaseName("KUVO");
  }
  void TearDown() override {
    Data.Close();
    TConnectedDatabaseTest::TearDown();
  }
  TField& F(const char* name) { return Data.FieldByName(name); }
  void AddRow(int id, const std::string& s) {
    Data.Append();
    F("ID").SetAsInteger(id);
    F("S").SetAsString(s);
    Data.Post();
  }

  TTableDataSet Data;
};

TEST_F(DataSetFieldsTest, EveryTypeSurvivesPostAndReopen) {
  struct TDates {
    double Date;
    double Time;
  };
  const std::vector<TDates> dates = {
      {DateOf(1, 1, 1), 0},
      {DateOf(1899, 12, 30), 0.5},
      {DateOf(2024, 2, 29), (12 * 3600 + 34 * 60 + 56) / 86400.0},
      {DateOf(2024, 2, 29), (86400000.0 - 1) / 86400000.0},
  };
  Data.Open();
  const std::u16string wide = u"\u00e9t\u00e9s!";  // exactly the field's size
  ASSERT_EQ(wide.size(), 5U);
  std::string memo(100000, 'm');
  for (std::size_t i = 0; i < dates.size(); ++i) {
    Data.Append();
    F("ID").SetAsInteger(static_cast<int>(i));
    F("S").SetAsString("0123456789XYZ");  // cut to 10
    F("W").SetAsWideString(wide);
    F("SI").SetAsInteger(-32768);
    F("SH").SetAsInteger(-128);
    F("BT").SetAsInteger(255);
    F("WD").SetAsInteger(65535);
    F("CA").SetAsLargeInt(4294967295LL);
    F("LI").SetAsLargeInt(-9000000000000000000LL);
    F("SG").SetAsFloat(1.5);
    F("DB").SetAsFloat(-2.25e300);
    F("EX").SetAsFloat(3.125);
    F("BO").SetAsBoolean(true);
    F("CU").SetAsFloat(1234.5678);
    F("DA").SetAsDateTime(dates[i].Date);
    F("TI").SetAsDateTime(dates[i].Time);
    F("DT").SetAsDateTime(dates[i].Date < 0 ? dates[i].Date - dates[i].Time : dates[i].Date + dates[i].Time);
    F("TS").SetAsDateTime(dates[i].Date < 0 ? dates[i].Date - dates[i].Time : dates[i].Date + dates[i].Time);
    F("BY").SetAsBytes({1, 0, 255, 7});
    F("ME").SetAsString(memo);
    F("BL").SetAsBytes({0, 1, 2});
    F("GU").SetAsString("{01234567-89AB-CDEF-0123-456789ABCDEF}");
    Data.Post();
  }
  Data.Close();
  Data.Open();
  Data.First();
  for (std::size_t i = 0; i < dates.size(); ++i, Data.Next()) {
    SCOPED_TRACE(i);
    ASSERT_FALSE(Data.Eof());
    EXPECT_EQ(F("ID").AsInteger(), static_cast<int>(i));
    EXPECT_EQ(F("S").AsString(), "0123456789");
    EXPECT_EQ(F("W").AsWideString(), wide);
    EXPECT_EQ(F("SI").AsInteger(), -32768);
    EXPECT_EQ(F("SH").AsInteger(), -128);
    EXPECT_EQ(F("BT").AsInteger(), 255);
    EXPECT_EQ(F("WD").AsInteger(), 65535);
    EXPECT_EQ(F("CA").AsLargeInt(), 4294967295LL);
    EXPECT_EQ(F("LI").AsLargeInt(), -9000000000000000000LL);
    EXPECT_EQ(F("SG").AsFloat(), 1.5);
    EXPECT_EQ(F("DB").AsFloat(), -2.25e300);
    EXPECT_EQ(F("EX").AsFloat(), 3.125);
    EXPECT_TRUE(F("BO").AsBoolean());
    EXPECT_NEAR(F("CU").AsFloat(), 1234.5678, 1e-9);
    EXPECT_EQ(F("DA").AsDateTime(), dates[i].Date);
    EXPECT_NEAR(F("TI").AsDateTime(), dates[i].Time, 0.5 / 86400000.0);
    const double dateTime = dates[i].Date < 0 ? dates[i].Date - dates[i].Time : dates[i].Date + dates[i].Time;
    EXPECT_NEAR(F("DT").AsDateTime(), dateTime, 0.5 / 86400000.0);
    EXPECT_NEAR(F("TS").AsDateTime(), dateTime, 0.5 / 86400000.0);
    EXPECT_EQ(F("BY").AsBytes(), (std::vector<std::uint8_t>{1, 0, 255, 7}));
    EXPECT_EQ(F("ME").AsString(), memo);
    EXPECT_EQ(F("BL").AsBytes(), (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_EQ(F("GU").AsString(), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
  }
}

// The native date-time is the day number times a day's milliseconds: the
// first day of the calendar is 86 400 000, 1899-12-30 693594 days of them.
TEST_F(DataSetFieldsTest, NativeDateTimeFollowsItsFormula) {
  Data.Open();
  Data.Append();
  F("ID").SetAsInteger(1);
  F("DT").SetAsDateTime(DateOf(1, 1, 1));
  double native = 0;
  ASSERT_TRUE(F("DT").GetData(&native));
  EXPECT_EQ(native, 86400000.0);
  F("DT").SetAsDateTime(0.25);
  ASSERT_TRUE(F("DT").GetData(&native));
  EXPECT_EQ(native, 693594.0 * 86400000.0 + 6 * 3600000.0);
  std::int32_t day = 0;
  F("DA").SetAsDateTime(0);
  ASSERT_TRUE(F("DA").GetData(&day));
  EXPECT_EQ(day, 693594);
  // A timestamp no date-time has is refused, whatever part is out of range
  // (an hour of 65535 once overflowed the milliseconds).
  TSQLTimeStamp stamp = SQLTimeStampOf({693594 + 45350, 12 * 3600000});
  F("TS").SetData(&stamp);
  EXPECT_EQ(F("TS").AsDateTime(), 45350.5);
  for (const auto spoil : std::vector<void (*)(TSQLTimeStamp&)>{
           [](TSQLTimeStamp& ts) { ts.Hour = 65535; }, [](TSQLTimeStamp& ts) { ts.Minute = 60; },
           [](TSQLTimeStamp& ts) { ts.Fractions = 1000; }, [](TSQLTimeStamp& ts) { ts.Month = 13; }}) {
    TSQLTimeStamp bad = stamp;
    spoil(bad);
    EXPECT_FALSE(MessageOf<std::exception>([&] { F("TS").SetData(&bad); }).empty());
  }
  Data.Cancel();
}

TEST_F(DataSetFieldsTest, EngineRefusalsRaiseAndLeaveTheDataSetEditable) {
  Data.Open();
  AddRow(1, "a");
  AddRow(2, "b");
  // A failed append is reported whatever its status: here a constraint
  // violation.
  TQELVariant id;
  id.SetAsInteger(9);
  TQELVariant none;
  none.SetNull();
  TQELVariant tooBig;
  tooBig.SetAsInteger(120);
  try {
    Data.AppendRecord({id, none, none, none, tooBig});
    ADD_FAILURE() << "violating row appended";
  } catch (const EQELEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), -8);
    EXPECT_FALSE(error.ErrorText().empty());
  }
  EXPECT_EQ(Data.RecordCount(), 2);
  Data.Last();
  Data.Edit();
  F("SH").SetAsInteger(101);
  try {
    Data.Post();
    ADD_FAILURE() << "violating row posted";
  } catch (const EQELEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), -8);
    EXPECT_NE(std::string(error.what()).find("Qelmonte Engine Error # -8 "), std::string::npos);
  }
  EXPECT_EQ(Data.State(), dsEdit);
  F("SH").SetAsInteger(100);
  Data.Post();
  EXPECT_EQ(F("SH").AsInteger(), 100);
  Data.Close();
  Data.Open();
  Data.Last();
  EXPECT_EQ(F("SH").AsInteger(), 100);
}

TEST_F(DataSetFieldsTest, ReadOnlyDataSetRefusesChanges) {
  Data.Open();
  AddRow(1, "a");
  Data.Close();
  Data.SetReadOnly(true);
  Data.Open();
  EXPECT_THROW(Data.Edit(), EDatabaseError);
  EXPECT_THROW(Data.Append(), EDatabaseError);
  EXPECT_THROW(Data.AppendRecord({}), EDatabaseError);
  EXPECT_THROW(Data.CreateBlobStream(F("ME"), TBlobStreamMode::Write), EQELException);
  EXPECT_EQ(Data.State(), dsBrowse);
  EXPECT_EQ(Data.RecordCount(), 1);
}

TEST_F(DataSetFieldsTest, LocateLookupAndFind) {
  Data.Open();
  const char* terms[] = {"apel", "Anggur", "belimbing", "Durian", "duku"};
  for (int i = 0; i < 5; ++i) AddRow(i + 1, terms[i]);
  TQELVariant key;
  key.SetAsString("DUR");
  EXPECT_FALSE(Data.Locate("S", {key}, 0));
  EXPECT_TRUE(Data.Locate("S", {key}, loPartialKey | loCaseInsensitive));
  EXPECT_EQ(F("ID").AsInteger(), 4);
  key.SetAsString("duku");
  EXPECT_TRUE(Data.Locate("S", {key}, 0));
  EXPECT_EQ(F("ID").AsInteger(), 5);
  TQELVariant id;
  id.SetAsInteger(2);
  const std::vector<TQELVariant> found = Data.Lookup("ID", {id}, "S");
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].AsString(), "Anggur");
  EXPECT_EQ(F("ID").AsInteger(), 5);  // Lookup keeps the position
  Data.SetOnFilterRecordValue([](TDataSet& dataSet, bool& accept) {
    accept = dataSet.FieldByName("ID").AsInteger() % 2 == 0;
  });
  EXPECT_TRUE(Data.FindFirst());
  EXPECT_EQ(F("ID").AsInteger(), 2);
  EXPECT_TRUE(Data.FindNext());
  EXPECT_EQ(F("ID").AsInteger(), 4);
  EXPECT_FALSE(Data.FindNext());
  EXPECT_FALSE(Data.Filtered());
  EXPECT_EQ(Data.RecordCount(), 5);
  Data.SetFilteredValue(true);
  int seen = 0;
  for (Data.First(); !Data.Eof(); Data.Next()) ++seen;
  EXPECT_EQ(seen, 2);
}

TEST_F(DataSetFieldsTest, BadInputRaisesClearly) {
  Data.Open();
  AddRow(1, "a");
  TQELVariant key;
  key.SetAsInteger(1);
  EXPECT_THROW(Data.Locate("ID;S", {key}, 0), EDatabaseError);
  EXPECT_THROW(Data.Locate("NOPE", {key}, 0), EDatabaseError);
  EXPECT_TRUE(Data.Lookup("ID;S", {key}, "S")[0].IsNull());
  TTableDataSet other;
  other.ShortRecordLockWaits = true;
  other.TableName = "F";
  other.SetDatabaseName("KUVO");
  other.Open();
  EXPECT_THROW(Data.GetFieldData(other.FieldByName("ID"), nullptr), EDatabaseError);
  other.Close();
  Data.Edit();
  F("S").SetAsString(std::string(1000, 'x'));
  EXPECT_EQ(F("S").AsString(), std::string(10, 'x'));
  Data.Cancel();
  EXPECT_THROW(F("ID").SetAsInteger(5), EQELException);  // browse state
}

TEST_F(DataSetFieldsTest, MemoOfAVanishedRecordReadsEmptyAndRefusesWrites) {
  Database->SetConnected(false);
  Database->SetMultiUser(true);
  Database->SetConnected(true);
  Data.Open();
  Data.Append();
  F("ID").SetAsInteger(1);
  F("ME").SetAsString("kata");
  Data.Post();
  AddRow(2, "b");
  Data.First();
  EXPECT_EQ(F("ME").AsString(), "kata");
  {
    // Another session of this process deletes the row under the dataset.
    TQELLocalSession other;
    other.SetDatabaseName("LAIN");
    other.SetDatabaseFileName(FileName);
    other.SetMultiUser(true);
    other.SetConnected(true);
    TQELLocalCursor cursor;
    cursor.Session = &other;
    cursor.SetTableName("F");
    cursor.Open({}, {}, {});
    std::uint8_t* buffer = cursor.AllocRecordBuffer();
    cursor.RecordBuffer = buffer;
    cursor.First();
    ASSERT_EQ(cursor.GetRecord(grmNext), grOK);
    cursor.Delete();
    EXPECT_EQ(cursor.Status, 0);
    cursor.FreeRecordBuffer(buffer);
    cursor.Close();
    other.SetConnected(false);
  }
  std::unique_ptr<TQELStream> stream = Data.CreateBlobStream(F("ME"), TBlobStreamMode::Read);
  ASSERT_NE(stream, nullptr);
  auto* blob = dynamic_cast<TQELBLOBStream*>(stream.get());
  ASSERT_NE(blob, nullptr);
  EXPECT_FALSE(blob->HasEngineStream());
  char byte = 0;
  EXPECT_EQ(stream->Read(&byte, 1), 0);
  EXPECT_THROW(stream->Write("x", 1), EQELException);
  stream.reset();
  // The one refresh found the remaining row.
  EXPECT_EQ(Data.RecordCount(), 1);
  EXPECT_EQ(F("ID").AsInteger(), 2);
}

TEST_F(DataSetFieldsTest, CalculatedWideStringsBelongToTheirBuffer) {
  Data.AddField("ID", ftInteger);
  Data.AddField("S", ftString, 10);
  Data.AddField("LABEL", ftWideString, 4, fkCalculated);
  Data.OnCalcFields = [](TDataSet& dataSet) {
    const int id = dataSet.FieldByName("ID").AsInteger();
    dataSet.FieldByName("LABEL").SetAsWideString(std::u16string(4, static_cast<char16_t>(u'a' + id)));
  };
  Data.Open();
  for (int i = 0; i < 3; ++i) AddRow(i, "x");
  TDataSource source;
  source.SetDataSet(&Data);
  struct TLink : TDataLink {} link;
  link.SetBufferCount(3);
  link.SetDataSource(&source);
  Data.First();
  for (int i = 0; i < 3; ++i, Data.Next()) EXPECT_EQ(F("LABEL").AsWideString(), std::u16string(4, u'a' + i));
  link.SetDataSource(nullptr);
}

}  // namespace
}  // namespace qel::test
