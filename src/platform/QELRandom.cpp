#include "platform/QELRandom.h"

#include <mutex>
#include <random>

namespace qel {

namespace {

struct TRandomSource {
  std::mutex Mutex;
  std::mt19937 Engine{std::random_device{}()};
};

TRandomSource& Source() {
  static TRandomSource source;
  return source;
}

}  // namespace

std::uint32_t QELRandom(std::uint32_t range) {
  if (range == 0) return 0;
  std::uniform_int_distribution<std::uint32_t> distribution(0, range - 1);
  TRandomSource& source = Source();
  const std::lock_guard<std::mutex> guard(source.Mutex);
  return distribution(source.Engine);
}

void QELRandomize(std::uint32_t seed) {
  TRandomSource& source = Source();
  const std::lock_guard<std::mutex> guard(source.Mutex);
  source.Engine.seed(seed);
}

}  // namespace qel
