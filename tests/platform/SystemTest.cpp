#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "platform/QELClock.h"
#include "platform/QELRandom.h"
#include "platform/QELSystemInfo.h"

namespace qel {
namespace {

using test::TScopedEnv;

// The local date and time from the calendar fields localtime gives, as days
// since 1899-12-30.
double LocalDateTimeNow() {
  using namespace std::chrono;
  const std::time_t now = system_clock::to_time_t(system_clock::now());
  std::tm local{};
  ::localtime_r(&now, &local);
  const year_month_day date{year(local.tm_year + 1900), month(local.tm_mon + 1),
                            day(local.tm_mday)};
  const auto days = (sys_days(date) - sys_days(1899y / December / 30)).count();
  return days + (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
}

TEST(QELClockTest, NowIsTheLocalDateAndTime) {
  // A zone far from UTC and one without daylight saving, so the offset must be applied.
  for (const char* zone : {"UTC0", "QQQ-5:30", "QQQ+9"}) {
    SCOPED_TRACE(zone);
    const TScopedEnv tz("TZ", zone);
    ::tzset();
    const double now = QELNow();
    const double expected = LocalDateTimeNow();
    EXPECT_NEAR(now, expected, 2.0 / 86400);  // whole seconds on one side, a tick apart
  }
  ::tzset();
}

TEST(QELClockTest, TickCountNeverGoesBackAndFollowsSleep) {
  std::uint64_t previous = QELTickCount();
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t now = QELTickCount();
    ASSERT_GE(now, previous);
    previous = now;
  }
  const std::uint64_t start = QELTickCount();
  QELSleep(20);
  const std::uint64_t elapsed = QELTickCount() - start;
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(QELRandomTest, StaysInRangeAndReachesEveryValue) {
  EXPECT_EQ(QELRandom(0), 0u);
  EXPECT_EQ(QELRandom(1), 0u);
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t value = QELRandom(7);
    ASSERT_LT(value, 7u);
    seen.insert(value);
  }
  EXPECT_EQ(seen.size(), 7u);
  std::set<std::uint32_t> wide;
  for (int i = 0; i < 100; ++i) wide.insert(QELRandom(0xFFFFFFFFu));
  EXPECT_GT(wide.size(), 90u);  // not stuck on a few values
}

TEST(QELRandomTest, SeedRepeatsTheSequence) {
  auto draw = [](std::uint32_t seed) {
    QELRandomize(seed);
    std::vector<std::uint32_t> values;
    for (int i = 0; i < 20; ++i) values.push_back(QELRandom(1000000));
    return values;
  };
  EXPECT_EQ(draw(42), draw(42));
  EXPECT_NE(draw(42), draw(43));
}

TEST(QELSystemInfoTest, AvailableMemoryIsWithinTheInstalledMemory) {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t totalKiB = 0;
  while (meminfo >> key && key != "MemTotal:") meminfo.ignore(256, '\n');
  meminfo >> totalKiB;
  ASSERT_GT(totalKiB, 0u);
  const std::uint64_t available = QELAvailablePhysicalMemory();
  EXPECT_GT(available, 0u);
  EXPECT_LE(available, totalKiB * 1024);
}

}  // namespace
}  // namespace qel
