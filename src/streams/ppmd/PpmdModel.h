#pragma once
// The PPMd context model (variant H): a tree of contexts of order 0 up to
// the model order, each with the symbols seen after it and their counts,
// kept in the suballocator's memory. A byte is coded in the longest context
// that has been seen; when that context does not hold it, an escape is coded
// and the next shorter context is tried with the symbols already refused
// masked out. Escapes are estimated adaptively: contexts with a single symbol
// through a table indexed by the symbol's count and its surroundings, other
// contexts after an escape through secondary escape estimation (SEE). New
// contexts inherit an initial count from their parent. When the memory is
// exhausted the model starts again from nothing.
//
// The same model drives the encoder and the decoder; both make exactly the
// same updates, so the decoder rebuilds the encoder's model from the bytes
// it decodes. No update depends on memory the model has not written, so
// stale bytes left in the block by an earlier use never change a result.

#include <cstdint>

#include "streams/ppmd/PpmdRangeCoder.h"
#include "streams/ppmd/PpmdSubAllocator.h"

namespace qel::ppmd {

constexpr int kMinOrder = 2;
constexpr int kMaxOrder = 16;

// One symbol of a context with its count and successor: the context that
// follows the symbol, or, until that context is built, the offset of the
// text byte after the symbol's latest occurrence. Two states fill a unit.
struct TPpmdState {
  std::uint8_t Symbol;
  std::uint8_t Freq;
  std::uint16_t SuccessorLow;
  std::uint16_t SuccessorHigh;

  std::uint32_t Successor() const { return SuccessorLow | (static_cast<std::uint32_t>(SuccessorHigh) << 16); }
  void SetSuccessor(std::uint32_t offset) {
    SuccessorLow = static_cast<std::uint16_t>(offset);
    SuccessorHigh = static_cast<std::uint16_t>(offset >> 16);
  }
};
static_assert(sizeof(TPpmdState) == 6);

// A context: one unit. A context with a single symbol keeps that symbol's
// state in place of SummFreq and Stats.
struct TPpmdContext {
  std::uint16_t NumStats;
  std::uint16_t SummFreq;  // counts of all symbols plus the escape count
  std::uint32_t Stats;     // offset of the state array
  std::uint32_t Suffix;    // offset of the context one order shorter; 0 at order 0

  TPpmdState& OneState() { return *reinterpret_cast<TPpmdState*>(&SummFreq); }
};
static_assert(sizeof(TPpmdContext) == kUnitSize);

// An adaptive escape estimate for contexts entered after an escape.
struct TPpmdSee {
  std::uint16_t Summ;
  std::uint8_t Shift;
  std::uint8_t Count;
};

class TPpmdModel {
 public:
  enum TResult { rsCoded, rsEndMarker, rsFailed };

  explicit TPpmdModel(TPpmdSubAllocator& memory) : FMemory(memory), FBase(memory.Base()) {}

  // A fresh model of order maxOrder (kMinOrder..kMaxOrder).
  void Start(int maxOrder);

  // Codes `symbol` (0..255), or the end marker for -1: an escape out of
  // every context. Answers rsCoded for a byte, rsEndMarker for the marker,
  // rsFailed when the coder failed.
  TResult Encode(TPpmdRangeEncoder& coder, int symbol);
  // Decodes the next byte into `symbol`, or the end marker.
  TResult Decode(TPpmdRangeDecoder& coder, std::uint8_t& symbol);

  // Times the model started again: when its memory was full, or after an
  // anomaly.
  std::uint32_t Restarts() const { return FRestarts; }
  // Times the model found itself inconsistent (a symbol missing from a
  // shorter context, a successor that is no context) and restarted rather
  // than follow a bad link; zero unless the model has a fault.
  std::uint32_t Anomalies() const { return FAnomalies; }

 private:
  TPpmdContext* Ctx(std::uint32_t offset) const { return reinterpret_cast<TPpmdContext*>(FBase + offset); }
  TPpmdContext* SuffixOf(const TPpmdContext* c) const { return c->Suffix != 0 ? Ctx(c->Suffix) : nullptr; }
  TPpmdState* StatsOf(const TPpmdContext* c) const { return reinterpret_cast<TPpmdState*>(FBase + c->Stats); }
  std::uint32_t Offset(const void* p) const { return FMemory.Offset(p); }

  void Restart();
  void RestartModel();
  void ClearMask();

  void EncodeInContext(TPpmdRangeEncoder& coder, int symbol);
  void EncodeBinary(TPpmdRangeEncoder& coder, int symbol);
  void EncodeMasked(TPpmdRangeEncoder& coder, int symbol);
  void DecodeInContext(TPpmdRangeDecoder& coder);
  void DecodeBinary(TPpmdRangeDecoder& coder);
  void DecodeMasked(TPpmdRangeDecoder& coder);

  std::uint16_t& BinaryProbability(TPpmdContext* c);
  TPpmdSee* MaskedEscape(unsigned unmasked, std::uint32_t& escape);
  void MaskAll(const TPpmdState* first, unsigned count);
  void FoundFirst(TPpmdContext* c, TPpmdState* s, unsigned scale);
  void FoundLater(TPpmdContext* c, TPpmdState* s);
  void FoundMasked(TPpmdState* s);
  void EscapedAll(TPpmdContext* c);
  void FoundBinary(TPpmdState& s, std::uint16_t& escape);
  void EscapedBinary(TPpmdState& s, std::uint16_t& escape);
  bool NextShorterContext();
  void NextContext();

  void Rescale(TPpmdContext* c);
  void UpdateModel();
  TPpmdContext* CreateSuccessors(bool skip, TPpmdState* suffixState);
  TPpmdState* FindState(TPpmdContext* c, std::uint8_t symbol);

  TPpmdSubAllocator& FMemory;
  std::uint8_t* FBase;

  TPpmdContext* FMinContext = nullptr;  // the context being coded in
  TPpmdContext* FMaxContext = nullptr;  // the longest context of this byte
  TPpmdState* FFoundState = nullptr;    // the state of the byte just coded; null after an escape
  int FMaxOrder = kMinOrder;
  int FOrderFall = 0;           // how far below the longest possible context the model stands
  std::int32_t FRunLength = 0;  // successes in single-symbol contexts, from a negative start
  std::int32_t FInitRunLength = 0;
  unsigned FNumMasked = 0;     // symbols masked out by the contexts escaped from
  unsigned FInitEscape = 0;    // escape count a context gets when it grows past one symbol
  std::uint8_t FEscCount = 1;  // the mask generation: CharMask[s] == FEscCount masks s
  std::uint8_t FPrevSuccess = 0;
  std::uint8_t FHiBitsFlag = 0;
  std::uint32_t FRestarts = 0;
  std::uint32_t FAnomalies = 0;

  std::uint8_t FCharMask[256] = {};
  std::uint16_t FBinSumm[128][64] = {};
  TPpmdSee FSee[25][16] = {};
  TPpmdSee FDummySee = {};
};

}  // namespace qel::ppmd
