// The in-memory index order: a rank taken from the first column must never
// contradict the full comparison, or sorting by rank first would put rows
// out of the index's order.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "components/query/QELIndexOrder.h"
#include "storage/QELRecordData.h"

namespace qel {
namespace {

struct TKind {
  TQELAdvancedFieldType Type;
  std::int64_t Low;
  std::int64_t High;
  std::size_t Bytes;
};

TEST(IndexOrderTest, RanksNeverContradictTheFullOrder) {
  const TKind kinds[] = {
      {aftShortint, -128, 127, 1},
      {aftSmallint, -32768, 32767, 2},
      {aftInteger, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(), 4},
      {aftLargeint, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), 8},
      {aftByte, 0, 255, 1},
      {aftWord, 0, 65535, 2},
      {aftCardinal, 0, 4294967295LL, 4},
      {aftDate, -1000, 800000, 4},
  };
  for (const TKind& kind : kinds) {
    for (const char* direction : {"ASC", "DESC"}) {
      SCOPED_TRACE(std::to_string(kind.Type) + " " + direction);
      TQELFieldDefs defs;
      defs.Add("V", kind.Type, 0);
      defs.RecalcOffsets();
      const TQELIndexOrder order(defs, {"V"}, {direction}, {"CASE"});
      // NULL, both ends, their neighbours, and values around 0 and the
      // middle, each twice under different record ids.
      std::vector<std::optional<std::int64_t>> values{std::nullopt, kind.Low, kind.Low + 1, kind.High - 1, kind.High,
                                                      kind.Low / 2 + kind.High / 2};
      for (std::int64_t v = -3; v <= 3; ++v) {
        if (v >= kind.Low && v <= kind.High) values.emplace_back(v);
      }
      std::vector<std::vector<std::uint8_t>> entries;
      std::vector<std::uint8_t> record(static_cast<std::size_t>(defs.MemoryRecordSize()));
      for (std::size_t i = 0; i < values.size() * 2; ++i) {
        std::fill(record.begin(), record.end(), 0);
        const std::optional<std::int64_t>& value = values[i % values.size()];
        if (value) {
          std::uint8_t bytes[8];
          std::memcpy(bytes, &*value, 8);  // little-endian: the low bytes first
          SetFieldData(0, defs, bytes, record.data());
        } else {
          SetNull(true, 0, record.data());
        }
        TQELRecordID id{};
        id[0] = static_cast<std::uint8_t>(i);
        entries.emplace_back(order.EntrySize());
        order.BuildEntry(record.data(), id, entries.back().data());
      }
      for (const auto& a : entries) {
        for (const auto& b : entries) {
          const int compared = order.Compare(a.data(), b.data());
          if (order.Rank(a.data()) < order.Rank(b.data())) {
            EXPECT_LT(compared, 0);
          }
          if (compared < 0) {
            EXPECT_LE(order.Rank(a.data()), order.Rank(b.data()));
          }
        }
      }
      // Ranks tell values apart; they are no constant.
      EXPECT_NE(order.Rank(entries[1].data()), order.Rank(entries[4].data()));
    }
  }
}

}  // namespace
}  // namespace qel
