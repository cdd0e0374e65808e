#pragma once
// A small timing harness shared by the benchmarks: elapsed seconds, best-of-N
// wall-clock throughput, the machine facts every report starts with, and
// the way a benchmark stops when an answer is wrong.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace qel::bench {

using Clock = std::chrono::steady_clock;

// What both sides of a benchmark read: the rows and a sum over them, so
// that their answers can be compared.
struct TRowSum {
  std::int64_t Rows = 0;
  std::int64_t Sum = 0;
  bool operator==(const TRowSum&) const = default;
};

inline double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A benchmark whose answers are wrong measured nothing: it says what and
// exits with a failure.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  std::exit(1);
}

// Runs `body` (which processes `bytesPerCall` bytes) repeatedly for about
// `seconds`, `rounds` times, and answers the best throughput in MB/s
// (10^6 bytes per second).
template <class Body>
double BestThroughput(Body&& body, double bytesPerCall, double seconds = 0.25, int rounds = 5) {
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

// Runs `body` `rounds` times and answers the shortest time in seconds;
// `answer` keeps what the last run returned, for checking.
template <class Body, class Answer>
double BestSeconds(Body&& body, Answer& answer, int rounds = 5) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    answer = body();
    best = std::min(best, Seconds(start));
  }
  return best;
}

// Two sides timed in turns, one round of each at a time, `rounds` times;
// each side's shortest time goes to its `best`. Taking turns lets a busy
// moment of the machine fall on both sides rather than on one.
template <class BodyA, class AnswerA, class BodyB, class AnswerB>
void BestSecondsTakingTurns(BodyA&& bodyA, AnswerA& answerA, double& bestA, BodyB&& bodyB, AnswerB& answerB,
                            double& bestB, int rounds = 7) {
  bestA = 1e30;
  bestB = 1e30;
  for (int i = 0; i < rounds; ++i) {
    bestA = std::min(bestA, BestSeconds(bodyA, answerA, 1));
    bestB = std::min(bestB, BestSeconds(bodyB, answerB, 1));
  }
}

inline void PrintMachineFacts(const char* benchmark) {
  std::printf("%s\n", benchmark);
  std::printf("machine: %u hardware threads, compiler %s, flags \"%s\"\n",
              std::thread::hardware_concurrency(), __VERSION__, QEL_BENCH_FLAGS);
}

}  // namespace qel::bench
