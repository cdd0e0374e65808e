#pragma once
// A small timing harness shared by the benchmarks: best-of-N wall-clock
// throughput, and the machine facts every report starts with.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

namespace qel::bench {

// Runs `body` (which processes `bytesPerCall` bytes) repeatedly for about
// `seconds`, `rounds` times, and answers the best throughput in MB/s
// (10^6 bytes per second).
template <class Body>
double BestThroughput(Body&& body, double bytesPerCall, double seconds = 0.25, int rounds = 5) {
  using Clock = std::chrono::steady_clock;
  double best = 0;
  for (int round = 0; round < rounds; ++round) {
    std::uint64_t calls = 0;
    const auto start = Clock::now();
    auto now = start;
    do {
      for (int i = 0; i < 16; ++i) body();
      calls += 16;
      now = Clock::now();
    } while (std::chrono::duration<double>(now - start).count() < seconds);
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const double mbPerSecond = bytesPerCall * static_cast<double>(calls) / elapsed / 1e6;
    if (mbPerSecond > best) best = mbPerSecond;
  }
  return best;
}

inline void PrintMachineFacts(const char* benchmark) {
  std::printf("%s\n", benchmark);
  std::printf("machine: %u hardware threads, compiler %s, flags \"%s\"\n",
              std::thread::hardware_concurrency(), __VERSION__, QEL_BENCH_FLAGS);
}

}  // namespace qel::bench
