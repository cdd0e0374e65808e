// Damaged metadata must end in EQELException: no crash, no other exception,
// and no allocation sized by a damaged count. This binary replaces the
// global operator new to see the largest single allocation.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "MetadataTestSupport.h"
#include "support/AllocationTracker.h"
#include "support/ErrorSupport.h"
#include "support/Hex.h"

namespace qel {
namespace {

using test::gLargestAllocation;
using test::Bytes;
using test::NativeErrorOf;
using test::TableMetadata;

// No single allocation while reading damaged metadata may be larger than
// this: the whole damaged stream is a few kilobytes.
constexpr std::size_t kAllocationLimit = 1 << 20;

// A memory stream that records where each read starts and how long it is:
// the reads of the loader are exactly the stored items.
class TRecordingStream : public TQELMemoryStream {
 public:
  struct TRead {
    std::int64_t Position;
    std::int64_t Count;
  };

  std::int64_t Read(void* buffer, std::int64_t count) override {
    Reads.push_back({Position(), count});
    return TQELMemoryStream::Read(buffer, count);
  }

  std::vector<TRead> Reads;
};

// Loads `bytes` as a table's metadata. Answers true when it loaded; a
// failure must be an EQELException, and a loaded table must save again.
bool LoadsOrFailsCleanly(const Bytes& bytes) {
  try {
    TableMetadata table;
    table.Load(bytes);
    table.Save();
    return true;
  } catch (const EQELException&) {
    return false;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
  } catch (...) {
    ADD_FAILURE() << "unexpected exception";
  }
  return false;
}

TEST(DamagedMetadataTest, TruncatedAtEveryLengthFails) {
  const Bytes full = test::EveryKindTable().Save();
  ASSERT_TRUE(LoadsOrFailsCleanly(full));
  gLargestAllocation = 0;
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_FALSE(LoadsOrFailsCleanly(cut)) << "loaded when cut at " << length;
  }
  EXPECT_LT(gLargestAllocation.load(), kAllocationLimit);
}

// Every stored count, size, length, kind and flag (each read of 1 or 4
// bytes) overwritten with extreme and random values.
TEST(DamagedMetadataTest, ScrambledNumbersFailCleanly) {
  const Bytes full = test::EveryKindTable().Save();
  TRecordingStream recorder;
  recorder.Write(full.data(), static_cast<std::int64_t>(full.size()));
  recorder.SetPosition(0);
  TableMetadata table;
  table.Load(recorder);
  ASSERT_GT(recorder.Reads.size(), 100u);

  std::mt19937 random(20240607);
  const auto draw = [&] { return static_cast<std::uint32_t>(random()); };
  gLargestAllocation = 0;
  for (const TRecordingStream::TRead& read : recorder.Reads) {
    if (read.Count != 1 && read.Count != 4) continue;
    std::vector<std::uint32_t> values = {0, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, draw()};
    if (read.Count == 1) values = {0, 0xFF, 0x7F, draw() & 0xFF};
    for (const std::uint32_t value : values) {
      Bytes damaged = full;
      for (std::int64_t b = 0; b < read.Count; ++b) {
        damaged[static_cast<std::size_t>(read.Position + b)] =
            static_cast<std::uint8_t>(value >> (8 * b));
      }
      SCOPED_TRACE("value " + std::to_string(value) + " at " + std::to_string(read.Position));
      LoadsOrFailsCleanly(damaged);
    }
  }
  EXPECT_LT(gLargestAllocation.load(), kAllocationLimit);
}

// A count read as 2^31 - 1 ends at the first short read; a negative one is
// refused at once with the count's code.
TEST(DamagedMetadataTest, HugeAndNegativeCountsFail) {
  struct CountCase {
    const char* Part;
    std::size_t Offset;
    std::int32_t NegativeCode;
  };
  const CountCase cases[] = {
      {"fields", 0, 10159},      {"indexes", 0, 10159},      {"indexes", 14, 10352},
      {"constraints", 0, 10159}, {"constraints", 42, 30309},
  };
  test::TableMetadata small;
  small.Fields.Add("ID", aftInteger, 0);
  TQELIndexDef& pk = small.Indexes.Add();
  pk.SetName("PK");
  pk.AddColumn("ID");
  TQELConstraintDefUnique& unique = small.Constraints.AddUnique();
  unique.SetName("U1");
  unique.Ref2Name = "T";
  unique.TargetName = "PK";
  unique.Columns.push_back({"ID", 1});

  for (const CountCase& c : cases) {
    const std::string part = c.Part;
    SCOPED_TRACE(part + " at " + std::to_string(c.Offset));
    const auto select = [&](TableMetadata& table) -> TQELMetaObjectDefs& {
      if (part == "fields") return table.Fields;
      if (part == "indexes") return table.Indexes;
      return table.Constraints;
    };
    const Bytes bytes = test::Saved(select(small));
    for (const std::int32_t count : {INT32_MAX, -1, INT32_MIN}) {
      Bytes damaged = bytes;
      QELWriteLE<std::int32_t>(damaged.data() + c.Offset, count);
      TableMetadata target;
      gLargestAllocation = 0;
      const std::int32_t code = NativeErrorOf([&] { test::LoadFrom(select(target), damaged); });
      EXPECT_NE(code, 0) << count;
      if (count < 0) {
        EXPECT_EQ(code, c.NegativeCode);
      }
      EXPECT_LT(gLargestAllocation.load(), kAllocationLimit);
    }
  }
}

// Values that cannot be right are refused with the code of their item.
TEST(DamagedMetadataTest, ImpossibleValuesAreRefused) {
  TQELFieldDefs fields;
  fields.Add("S", aftString, 10);
  const Bytes field = test::Saved(fields);
  // Offsets in one field "S": base type 10, declared type 11, Size 12.
  struct PatchCase {
    std::size_t Offset;
    std::vector<std::uint8_t> Bytes;
    std::int32_t Code;
  };
  const PatchCase patches[] = {
      {10, {bftWideString}, 10188},           // storage type of another declared type
      {10, {0}, 10188},                       // no storage type
      {11, {0}, 10188},                       // no declared type
      {11, {200}, 10188},                     // no such declared type
      {12, {0xFF, 0xFF, 0xFF, 0xFF}, 10189},  // Size -1
      {12, {0x00, 0x00, 0x00, 0x40}, 10189},  // slot size would overflow
  };
  for (const PatchCase& p : patches) {
    SCOPED_TRACE(p.Offset);
    Bytes damaged = field;
    std::copy(p.Bytes.begin(), p.Bytes.end(),
              damaged.begin() + static_cast<std::ptrdiff_t>(p.Offset));
    TQELFieldDefs loaded;
    EXPECT_EQ(NativeErrorOf([&] { test::LoadFrom(loaded, damaged); }), p.Code);
  }

  // Two fields whose slots each fit but whose record does not.
  TQELFieldDefs huge;
  huge.Add("A", aftWideString, TQELFieldDef::kMaxSize);
  huge.Add("B", aftWideString, TQELFieldDef::kMaxSize);
  TQELFieldDefs loaded;
  EXPECT_EQ(NativeErrorOf([&] { test::LoadFrom(loaded, test::Saved(huge)); }), 10189);

  // Constraint kind 1 is not used; a name count beyond a short string's
  // 256 bytes, or a length byte that disagrees with it, is damage.
  TQELConstraintDefs constraints;
  TQELConstraintDefUnique& unique = constraints.AddUnique();
  unique.TargetName = "PK";
  const Bytes constraint = test::Saved(constraints);
  // Offsets: kind 4, TargetName's count 32 and its length byte 36.
  const PatchCase constraintPatches[] = {
      {4, {1}, 30316},           {4, {5}, 30316},  {32, {0, 0, 0, 0}, 30321},
      {32, {1, 1, 0, 0}, 30321}, {36, {3}, 30322},
  };
  for (const PatchCase& p : constraintPatches) {
    SCOPED_TRACE(p.Offset);
    Bytes damaged = constraint;
    std::copy(p.Bytes.begin(), p.Bytes.end(),
              damaged.begin() + static_cast<std::ptrdiff_t>(p.Offset));
    TQELConstraintDefs loadedConstraints;
    EXPECT_EQ(NativeErrorOf([&] { test::LoadFrom(loadedConstraints, damaged); }), p.Code);
  }
}

}  // namespace
}  // namespace qel
