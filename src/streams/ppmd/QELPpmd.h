#pragma once
// PPMd compression of whole buffers: PPM with context modelling, variant H,
// with a model of a given order (2..16) in a given amount of memory
// (1..256 MB). The coded stream is the range coder's output alone; order and
// memory are not in it, so the caller stores them and hands the same values
// to the decompressor. The stream ends with an end marker (an escape out of
// every context), which the decompressor checks.
//
// The model memory is one block per thread, kept between calls and grown to
// the largest size asked for, so that a 100 MB model costs no fresh
// allocation (and no page faults for fresh pages) per buffer. The block is
// never cleared: the model writes everything it reads.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qel {

constexpr int kQELPpmdMinOrder = 2;
constexpr int kQELPpmdMaxOrder = 16;
constexpr int kQELPpmdMinMemoryMB = 1;
constexpr int kQELPpmdMaxMemoryMB = 256;

// The model order and memory of compression mode 1..9: orders 2, 3, 4, 5,
// 7, 8, 10, 13, 16 with 2, 3, 7, 16, 22, 25, 40, 100, 100 MB.
struct TQELPpmdModelParameters {
  int Order;
  int MemoryMB;
};
// False for a mode outside 1..9.
bool PpmdParametersForMode(int mode, TQELPpmdModelParameters& parameters);

// What happened inside one call, for tests and benchmarks.
struct TQELPpmdReport {
  std::uint32_t Restarts = 0;   // times the model filled its memory (or hit an anomaly) and started again
  std::uint32_t Anomalies = 0;  // times the model found itself inconsistent (0 unless faulty)
};

// Compresses inSize bytes into `out` (replacing its contents). False, with
// `out` empty, for an order or memory out of range or when the model memory
// cannot be allocated.
bool PpmdCompress(const std::uint8_t* in, std::size_t inSize, int order, int memoryMB,
                  std::vector<std::uint8_t>& out, TQELPpmdReport* report = nullptr);

// Restores exactly outSize bytes into out[0..outSize). False when the input
// is damaged in a way the decoder notices (it runs out, a code falls outside
// the model, the end marker is not where it must be, bytes follow it) or the
// parameters are out of range. Never reads or writes outside the two buffers, and takes
// time bounded by outSize whatever the input. Damage the decoder cannot see
// yields wrong bytes: callers check a checksum.
bool PpmdDecompress(const std::uint8_t* in, std::size_t inSize, int order, int memoryMB, std::uint8_t* out,
                    std::size_t outSize, TQELPpmdReport* report = nullptr);

// Frees this thread's model memory; the next call allocates it again.
void PpmdReleaseThreadMemory();

}  // namespace qel
