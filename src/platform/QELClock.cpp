#include "platform/QELClock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace qel {

void QELSleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint64_t QELTickCount() {
  const auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

double QELNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  // The zone's offset at this instant turns UTC into local wall-clock time,
  // daylight saving included.
  const double localSeconds =
      duration<double>(now.time_since_epoch()).count() + static_cast<double>(local.tm_gmtoff);
  return QEL_UNIX_EPOCH_DAYS + localSeconds / 86400.0;
}

}  // namespace qel
