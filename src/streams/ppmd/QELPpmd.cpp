// PPMd compression of whole buffers: parameter checks, the per-thread model
// memory and the coding loops.

#include "streams/ppmd/QELPpmd.h"

#include <memory>
#include <new>

#include "streams/ppmd/PpmdModel.h"

namespace qel {
namespace {

using ppmd::TPpmdModel;

// The model memory of this thread, grown on demand and kept between calls.
struct TThreadModelMemory {
  std::unique_ptr<std::uint8_t[]> Block;
  std::size_t Size = 0;
};

thread_local TThreadModelMemory tModelMemory;

// A block of at least `bytes` bytes, uninitialised; throws std::bad_alloc.
std::uint8_t* ModelBlock(std::size_t bytes) {
  if (tModelMemory.Size < bytes) {
    tModelMemory.Block.reset();
    tModelMemory.Size = 0;
    tModelMemory.Block.reset(new std::uint8_t[bytes]);
    tModelMemory.Size = bytes;
  }
  return tModelMemory.Block.get();
}

bool ValidModel(int order, int memoryMB) {
  return order >= kQELPpmdMinOrder && order <= kQELPpmdMaxOrder && memoryMB >= kQELPpmdMinMemoryMB &&
         memoryMB <= kQELPpmdMaxMemoryMB;
}

std::uint32_t ModelBytes(int memoryMB) { return static_cast<std::uint32_t>(memoryMB) << 20; }

void Report(const TPpmdModel& model, TQELPpmdReport* report) {
  if (report != nullptr) {
    report->Restarts = model.Restarts();
    report->Anomalies = model.Anomalies();
  }
}

}  // namespace

bool PpmdParametersForMode(int mode, TQELPpmdModelParameters& parameters) {
  static constexpr TQELPpmdModelParameters kModes[9] = {{2, 2},  {3, 3},   {4, 7},    {5, 16},  {7, 22},
                                                        {8, 25}, {10, 40}, {13, 100}, {16, 100}};
  if (mode < 1 || mode > 9) return false;
  parameters = kModes[mode - 1];
  return true;
}

bool PpmdCompress(const std::uint8_t* in, std::size_t inSize, int order, int memoryMB,
                  std::vector<std::uint8_t>& out, TQELPpmdReport* report) {
  out.clear();
  if (!ValidModel(order, memoryMB) || (in == nullptr && inSize != 0)) return false;
  try {
    const std::uint32_t size = ModelBytes(memoryMB);
    ppmd::TPpmdSubAllocator memory(ModelBlock(size + ppmd::TPpmdSubAllocator::kGuardBytes), size);
    auto model = std::make_unique<TPpmdModel>(memory);
    model->Start(order);
    out.reserve(inSize / 3 + 64);
    ppmd::TPpmdRangeEncoder coder(out);
    bool ok = true;
    for (std::size_t i = 0; ok && i < inSize; ++i) ok = model->Encode(coder, in[i]) == TPpmdModel::rsCoded;
    ok = ok && model->Encode(coder, -1) == TPpmdModel::rsEndMarker;
    Report(*model, report);
    if (!ok) {
      out.clear();
      return false;
    }
    coder.Flush();
    return true;
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
}

bool PpmdDecompress(const std::uint8_t* in, std::size_t inSize, int order, int memoryMB, std::uint8_t* out,
                    std::size_t outSize, TQELPpmdReport* report) {
  if (!ValidModel(order, memoryMB) || (in == nullptr && inSize != 0) || (out == nullptr && outSize != 0))
    return false;
  try {
    const std::uint32_t size = ModelBytes(memoryMB);
    ppmd::TPpmdSubAllocator memory(ModelBlock(size + ppmd::TPpmdSubAllocator::kGuardBytes), size);
    auto model = std::make_unique<TPpmdModel>(memory);
    model->Start(order);
    ppmd::TPpmdRangeDecoder coder(in, inSize);
    bool ok = true;
    for (std::size_t i = 0; ok && i < outSize; ++i) ok = model->Decode(coder, out[i]) == TPpmdModel::rsCoded;
    std::uint8_t unused = 0;
    // The end marker must follow the last byte, and the coded stream must end
    // with it: anything else is damage, not a shorter or longer original.
    ok = ok && model->Decode(coder, unused) == TPpmdModel::rsEndMarker && coder.AtEnd();
    Report(*model, report);
    return ok;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void PpmdReleaseThreadMemory() {
  tModelMemory.Block.reset();
  tModelMemory.Size = 0;
}

}  // namespace qel
