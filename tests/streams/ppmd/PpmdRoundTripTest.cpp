// PPMd round trips: every compression mode on the inputs that stress it
// (nothing, one byte, every byte value once, noise, one value repeated,
// mixed text), a model that fills its memory and starts again, output that
// does not depend on what earlier calls left in the model memory, the
// parameter checks, and the ratio that text must earn.

#include <gtest/gtest.h>
#include <zlib.h>

#include <ostream>
#include <string>
#include <thread>

#include "PpmdTestData.h"
#include "streams/ppmd/QELPpmd.h"

namespace qel {
namespace {

using test::Bytes;
using test::kPpmdScaleDown;

constexpr std::size_t kMB = 1 << 20;

Bytes Compressed(const Bytes& data, int order, int memoryMB, TQELPpmdReport* report = nullptr) {
  Bytes coded;
  EXPECT_TRUE(PpmdCompress(data.data(), data.size(), order, memoryMB, coded, report));
  return coded;
}

Bytes Decompressed(const Bytes& coded, std::size_t size, int order, int memoryMB,
                   TQELPpmdReport* report = nullptr) {
  Bytes restored(size, 0xCD);
  EXPECT_TRUE(PpmdDecompress(coded.data(), coded.size(), order, memoryMB, restored.data(), size, report));
  return restored;
}

TQELPpmdModelParameters ModelOf(int mode) {
  TQELPpmdModelParameters model{};
  EXPECT_TRUE(PpmdParametersForMode(mode, model));
  return model;
}

struct TInputCase {
  const char* Name;
  Bytes (*Make)();
};

void PrintTo(const TInputCase& input, std::ostream* os) { *os << input.Name; }

Bytes DistinctBytes() {
  Bytes data(255);
  // 97 is odd, so i * 97 runs through 255 different values mod 256.
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 97 + 11);
  return data;
}

const TInputCase kInputs[] = {
    {"Empty", [] { return Bytes(); }},
    {"OneByte", [] { return Bytes{0x5A}; }},
    {"DistinctBytes", DistinctBytes},
    {"Noise", [] { return test::RandomBytes(kMB / kPpmdScaleDown, 1); }},
    {"Repeated", [] { return Bytes(kMB / kPpmdScaleDown, 'A'); }},
    {"MixedText", [] { return test::MixedText(4 * kMB / kPpmdScaleDown, 7); }},
};

class PpmdRoundTripTest : public testing::TestWithParam<TInputCase> {};

TEST_P(PpmdRoundTripTest, EveryModeRestoresTheInput) {
  const Bytes data = GetParam().Make();
  for (int mode = 1; mode <= 9; ++mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const TQELPpmdModelParameters model = ModelOf(mode);
    TQELPpmdReport encoded, decoded;
    const Bytes coded = Compressed(data, model.Order, model.MemoryMB, &encoded);
    EXPECT_EQ(encoded.Anomalies, 0u);
    // Compressed blocks are written from a buffer of size + size/20 + 50
    // bytes; these inputs, noise included, must fit in it.
    EXPECT_LE(coded.size(), data.size() + data.size() / 20 + 50);
    EXPECT_EQ(Decompressed(coded, data.size(), model.Order, model.MemoryMB, &decoded), data);
    EXPECT_EQ(decoded.Restarts, encoded.Restarts);
    EXPECT_EQ(decoded.Anomalies, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, PpmdRoundTripTest, testing::ValuesIn(kInputs),
                         [](const testing::TestParamInfo<TInputCase>& info) { return info.param.Name; });

// Half a megabyte of text fills a 1 MB model of order 6 or more several
// times over (the same size in both builds, so that it does).
TEST(PpmdRestartTest, FullMemoryRestartsTheModelWithoutLosingData) {
  const Bytes data = test::MixedText(kMB / 2, 11);
  struct TCase {
    int Order;
    int MemoryMB;
    bool Restarts;
  };
  const TCase cases[] = {{16, 1, true}, {6, 1, true}, {16, 100, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE("order " + std::to_string(c.Order) + ", " + std::to_string(c.MemoryMB) + " MB");
    TQELPpmdReport encoded, decoded;
    const Bytes coded = Compressed(data, c.Order, c.MemoryMB, &encoded);
    EXPECT_EQ(encoded.Restarts > 0, c.Restarts) << encoded.Restarts << " restarts";
    EXPECT_EQ(encoded.Anomalies, 0u);
    EXPECT_EQ(Decompressed(coded, data.size(), c.Order, c.MemoryMB, &decoded), data);
    EXPECT_EQ(decoded.Restarts, encoded.Restarts);
    // A restarted model learns again quickly: text still compresses well.
    EXPECT_LT(coded.size(), data.size() / 3);
  }
}

// The model memory is reused between calls and never cleared, so a result
// that read a stale byte would change with what ran before it. The same
// input must give the same bytes after other models have filled the memory,
// on a fresh thread, and after the memory was released.
TEST(PpmdMemoryReuseTest, OutputDoesNotDependOnEarlierCalls) {
  const Bytes text = test::MixedText(kMB / 2 / kPpmdScaleDown, 3);
  const Bytes noise = test::RandomBytes(64 * 1024, 4);
  const Bytes reference = Compressed(text, 8, 4);

  Compressed(noise, 16, 4);  // fills the same memory with another model
  Compressed(text, 3, 100);  // and a larger block with a third one
  EXPECT_EQ(Compressed(text, 8, 4), reference);

  Compressed(noise, 16, 4);
  EXPECT_EQ(Decompressed(reference, text.size(), 8, 4), text);

  Bytes onOtherThread;
  std::thread([&] { PpmdCompress(text.data(), text.size(), 8, 4, onOtherThread); }).join();
  EXPECT_EQ(onOtherThread, reference);

  PpmdReleaseThreadMemory();
  EXPECT_EQ(Compressed(text, 8, 4), reference);
}

TEST(PpmdParameterTest, RejectsParametersAndBuffersOutOfRange) {
  const Bytes data = test::MixedText(1000, 9);
  const Bytes coded = Compressed(data, 6, 2);
  struct TCase {
    int Order;
    int MemoryMB;
  };
  const TCase invalid[] = {{1, 2}, {17, 2}, {0, 2}, {-3, 2}, {6, 0}, {6, 257}, {6, -1}};
  for (const TCase& c : invalid) {
    SCOPED_TRACE("order " + std::to_string(c.Order) + ", " + std::to_string(c.MemoryMB) + " MB");
    Bytes out{1, 2, 3};
    EXPECT_FALSE(PpmdCompress(data.data(), data.size(), c.Order, c.MemoryMB, out));
    EXPECT_TRUE(out.empty());
    Bytes restored(data.size());
    EXPECT_FALSE(
        PpmdDecompress(coded.data(), coded.size(), c.Order, c.MemoryMB, restored.data(), data.size()));
  }

  Bytes out;
  EXPECT_FALSE(PpmdCompress(nullptr, 10, 6, 2, out));
  EXPECT_FALSE(PpmdDecompress(nullptr, 10, 6, 2, out.data(), 0));
  Bytes restored(data.size());
  EXPECT_FALSE(PpmdDecompress(coded.data(), coded.size(), 6, 2, nullptr, data.size()));
  // Null with size 0 is an empty buffer, not an error.
  ASSERT_TRUE(PpmdCompress(nullptr, 0, 6, 2, out));
  EXPECT_TRUE(PpmdDecompress(out.data(), out.size(), 6, 2, nullptr, 0));

  TQELPpmdModelParameters model{};
  EXPECT_FALSE(PpmdParametersForMode(0, model));
  EXPECT_FALSE(PpmdParametersForMode(10, model));
}

// Orders of 7 and more must beat the best deflate on text by a clear margin:
// that is what the slower coder is for.
TEST(PpmdCompressionTest, TextCompressesFarBetterThanZlibBest) {
  const Bytes data = test::MixedText(kMB / kPpmdScaleDown, 5);
  uLongf zlibSize = compressBound(static_cast<uLong>(data.size()));
  Bytes zlibOut(zlibSize);
  ASSERT_EQ(compress2(zlibOut.data(), &zlibSize, data.data(), static_cast<uLong>(data.size()), 9), Z_OK);
  for (int mode = 5; mode <= 9; ++mode) {
    const TQELPpmdModelParameters model = ModelOf(mode);
    const Bytes coded = Compressed(data, model.Order, model.MemoryMB);
    EXPECT_LT(coded.size(), zlibSize * 3 / 4)
        << "mode " << mode << ": " << coded.size() << " vs zlib " << zlibSize;
  }
}

}  // namespace
}  // namespace qel
