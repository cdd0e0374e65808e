// The PPMd context model: coding one byte in the current context or after
// escapes in shorter ones, and the model update that follows every byte.

#include "streams/ppmd/PpmdModel.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace qel::ppmd {
namespace {

constexpr unsigned kMaxFreq = 124;  // a count above this halves the context's counts
constexpr int kPeriodBits = 7;
constexpr int kTotalBits = 14;  // binary contexts code against 2^14
constexpr unsigned kInterval = 1u << 7;
constexpr unsigned kBinScale = 1u << kTotalBits;

// Initial escape estimates of single-symbol contexts, by the low four bits
// of their context index (the last success, the size of the suffix and the
// high bit of the previous byte), and the escape count a context gets when
// it grows a second symbol, by the single-symbol estimate at its escape.
constexpr std::uint16_t kInitBinEsc[16] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x5FFB, 0x5545, 0x63D1, 0x5D9D,
                                           0x64A1, 0x5ABC, 0x6632, 0x6051, 0x68F6, 0x549B, 0x6BCA, 0x3AB0};
constexpr std::uint8_t kExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

struct TTables {
  std::uint8_t SeeClass[256] = {};     // SEE row by the number of unmasked symbols - 1
  std::uint8_t SuffixClass[256] = {};  // binary index part by the suffix's symbols - 1
  std::uint8_t HighBit[256] = {};      // 8 for bytes 0x40 and above
};

constexpr TTables MakeTables() {
  TTables t;
  // Rows 0..2 for 1..3 symbols, then rows that cover 1, 2, 3, ... counts each.
  int row = 0, left = 1, width = 1;
  for (int n = 0; n < 256; ++n) {
    if (n < 3) {
      t.SeeClass[n] = static_cast<std::uint8_t>(n);
      row = n + 1;
      continue;
    }
    t.SeeClass[n] = static_cast<std::uint8_t>(row);
    if (--left == 0) {
      left = ++width;
      ++row;
    }
  }
  for (int n = 0; n < 256; ++n) {
    t.SuffixClass[n] = static_cast<std::uint8_t>(n == 0 ? 0 : n == 1 ? 2 : n <= 10 ? 4 : 6);
    t.HighBit[n] = static_cast<std::uint8_t>(n >= 0x40 ? 8 : 0);
  }
  return t;
}

constexpr TTables kTables = MakeTables();
static_assert(kTables.SeeClass[255] == 24);

unsigned BinaryMean(unsigned probability) { return (probability + (1u << (kPeriodBits - 2))) >> kPeriodBits; }

// Increments that wrap like the 32-bit counters they are, instead of
// overflowing, on inputs of billions of bytes.
std::int32_t Wrapped(std::int32_t value, std::int32_t delta) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + static_cast<std::uint32_t>(delta));
}

inline unsigned SeeMean(TPpmdSee* see) {
  const unsigned mean = see->Summ >> see->Shift;
  see->Summ = static_cast<std::uint16_t>(see->Summ - mean);
  return mean + (mean == 0);
}

inline void SeeUpdate(TPpmdSee* see) {
  if (see->Shift < kPeriodBits && --see->Count == 0) {
    see->Summ = static_cast<std::uint16_t>(see->Summ * 2);
    see->Count = static_cast<std::uint8_t>(3 << see->Shift++);
  }
}

}  // namespace

// --- life cycle -------------------------------------------------------------

void TPpmdModel::Start(int maxOrder) {
  FMaxOrder = maxOrder;
  FEscCount = 1;
  FInitEscape = 0;
  FHiBitsFlag = 0;
  FNumMasked = 0;
  FRestarts = 0;
  FAnomalies = 0;
  FDummySee = {0, kPeriodBits, 64};
  Restart();
}

// An empty model: only the order-0 context with all 256 bytes at count 1,
// and the escape estimates at their initial values.
void TPpmdModel::Restart() {
  std::memset(FCharMask, 0, sizeof FCharMask);
  FMemory.Reset();
  *FMemory.Text() = 0;
  FInitRunLength = -std::min(FMaxOrder, 12) - 1;
  auto* root = static_cast<TPpmdContext*>(FMemory.AllocContext());
  auto* stats = static_cast<TPpmdState*>(FMemory.AllocUnits(256 / 2));
  root->NumStats = 256;
  root->SummFreq = 256 + 1;
  root->Stats = Offset(stats);
  root->Suffix = 0;
  for (unsigned i = 0; i < 256; ++i) {
    stats[i].Symbol = static_cast<std::uint8_t>(i);
    stats[i].Freq = 1;
    stats[i].SetSuccessor(0);
  }
  FMinContext = FMaxContext = root;
  FFoundState = stats;
  FOrderFall = FMaxOrder;
  FRunLength = FInitRunLength;
  FPrevSuccess = 0;
  for (int freq = 0; freq < 128; ++freq) {
    for (int k = 0; k < 16; ++k) {
      const auto value = static_cast<std::uint16_t>(kBinScale - kInitBinEsc[k] / (freq + 2));
      for (int m = 0; m < 64; m += 16) FBinSumm[freq][k + m] = value;
    }
  }
  for (int row = 0; row < 25; ++row) {
    for (TPpmdSee& see : FSee[row])
      see = {static_cast<std::uint16_t>((5 * row + 10) << (kPeriodBits - 4)), kPeriodBits - 4, 4};
  }
}

// Memory ran out (or, with a fault, the model lost its way): start again.
// The mask generation 0 makes the coding loop clear the masks.
void TPpmdModel::RestartModel() {
  Restart();
  FEscCount = 0;
  ++FRestarts;
}

void TPpmdModel::ClearMask() {
  FEscCount = 1;
  std::memset(FCharMask, 0, sizeof FCharMask);
}

// --- coding one byte ----------------------------------------------------------

TPpmdModel::TResult TPpmdModel::Encode(TPpmdRangeEncoder& coder, int symbol) {
  if (FMinContext->NumStats != 1) {
    EncodeInContext(coder, symbol);
  } else {
    EncodeBinary(coder, symbol);
  }
  while (FFoundState == nullptr) {
    coder.Normalize();
    if (!NextShorterContext()) return symbol < 0 && !coder.Failed() ? rsEndMarker : rsFailed;
    EncodeMasked(coder, symbol);
  }
  NextContext();
  coder.Normalize();
  return coder.Failed() ? rsFailed : rsCoded;
}

TPpmdModel::TResult TPpmdModel::Decode(TPpmdRangeDecoder& coder, std::uint8_t& symbol) {
  if (FMinContext->NumStats != 1) {
    DecodeInContext(coder);
  } else {
    DecodeBinary(coder);
  }
  while (FFoundState == nullptr) {
    coder.Normalize();
    if (!NextShorterContext()) return coder.Failed() ? rsFailed : rsEndMarker;
    DecodeMasked(coder);
  }
  symbol = FFoundState->Symbol;
  NextContext();
  coder.Normalize();
  return coder.Failed() ? rsFailed : rsCoded;
}

// After an escape: the next shorter context that holds a symbol not masked
// yet; false below order 0.
inline bool TPpmdModel::NextShorterContext() {
  do {
    ++FOrderFall;
    FMinContext = SuffixOf(FMinContext);
    if (FMinContext == nullptr) return false;
  } while (FMinContext->NumStats <= FNumMasked);
  return true;
}

// After a byte: follow its successor when the model is at full order and the
// successor is a real context, else update the model.
inline void TPpmdModel::NextContext() {
  const std::uint32_t successor = FFoundState->Successor();
  if (FOrderFall == 0 && successor > FMemory.TextOffset()) {
    FMinContext = FMaxContext = Ctx(successor);
  } else {
    UpdateModel();
    if (FEscCount == 0) ClearMask();
  }
}

// A context with several symbols, none masked: the symbols in order, then
// the escape with what is left of SummFreq.
inline void TPpmdModel::EncodeInContext(TPpmdRangeEncoder& coder, int symbol) {
  TPpmdContext* c = FMinContext;
  TPpmdState* s = StatsOf(c);
  const unsigned scale = c->SummFreq;
  if (s->Symbol == symbol) {
    coder.Encode(0, s->Freq, scale);
    FoundFirst(c, s, scale);
    return;
  }
  FPrevSuccess = 0;
  unsigned low = s->Freq;
  for (unsigned left = c->NumStats - 1u; left != 0; --left) {
    ++s;
    if (s->Symbol == symbol) {
      coder.Encode(low, low + s->Freq, scale);
      FoundLater(c, s);
      return;
    }
    low += s->Freq;
  }
  coder.Encode(low, scale, scale);
  EscapedAll(c);
}

inline void TPpmdModel::DecodeInContext(TPpmdRangeDecoder& coder) {
  TPpmdContext* c = FMinContext;
  TPpmdState* s = StatsOf(c);
  const unsigned scale = c->SummFreq;
  const std::uint32_t target = coder.Threshold(scale);
  unsigned high = s->Freq;
  if (target < high) {
    coder.Decode(0, high);
    FoundFirst(c, s, scale);
    return;
  }
  FPrevSuccess = 0;
  for (unsigned left = c->NumStats - 1u; left != 0; --left) {
    ++s;
    high += s->Freq;
    if (target < high) {
      coder.Decode(high - s->Freq, high);
      FoundLater(c, s);
      return;
    }
  }
  coder.Decode(high, scale);
  EscapedAll(c);
}

// The most probable symbol was coded: a success that feeds the binary
// estimates when it held more than half of the context's weight.
inline void TPpmdModel::FoundFirst(TPpmdContext* c, TPpmdState* s, unsigned scale) {
  FPrevSuccess = 2u * s->Freq > scale;
  FRunLength = Wrapped(FRunLength, FPrevSuccess);
  s->Freq = static_cast<std::uint8_t>(s->Freq + 4);
  c->SummFreq = static_cast<std::uint16_t>(c->SummFreq + 4);
  FFoundState = s;
  if (s->Freq > kMaxFreq) Rescale(c);
}

// Another symbol was coded: it moves one place forward when it overtakes its
// neighbour, which keeps the states roughly sorted by count.
inline void TPpmdModel::FoundLater(TPpmdContext* c, TPpmdState* s) {
  s->Freq = static_cast<std::uint8_t>(s->Freq + 4);
  c->SummFreq = static_cast<std::uint16_t>(c->SummFreq + 4);
  FFoundState = s;
  if (s[0].Freq > s[-1].Freq) {
    std::swap(s[0], s[-1]);
    FFoundState = --s;
    if (s->Freq > kMaxFreq) Rescale(c);
  }
}

inline void TPpmdModel::EscapedAll(TPpmdContext* c) {
  FHiBitsFlag = kTables.HighBit[FFoundState->Symbol];
  MaskAll(StatsOf(c), c->NumStats);
  FNumMasked = c->NumStats;
  FFoundState = nullptr;
}

inline void TPpmdModel::MaskAll(const TPpmdState* first, unsigned count) {
  for (unsigned i = 0; i < count; ++i) FCharMask[first[i].Symbol] = FEscCount;
}

// A context with a single symbol: its probability comes from the adaptive
// table, chosen by the symbol's count, the last success, the suffix's size,
// the high bits of this and the previous byte, and the run of successes.
inline std::uint16_t& TPpmdModel::BinaryProbability(TPpmdContext* c) {
  const TPpmdState& s = c->OneState();
  FHiBitsFlag = kTables.HighBit[FFoundState->Symbol];
  const TPpmdContext* suffix = SuffixOf(c);
  const unsigned suffixStats = suffix != nullptr ? suffix->NumStats : 256;
  const unsigned index = FPrevSuccess + kTables.SuffixClass[suffixStats - 1] + FHiBitsFlag +
                         2 * kTables.HighBit[s.Symbol] + ((FRunLength >> 26) & 0x20);
  return FBinSumm[(s.Freq - 1) & 127][index];
}

inline void TPpmdModel::EncodeBinary(TPpmdRangeEncoder& coder, int symbol) {
  TPpmdState& s = FMinContext->OneState();
  std::uint16_t& probability = BinaryProbability(FMinContext);
  if (s.Symbol == symbol) {
    coder.EncodeBits(0, probability, kTotalBits);
    FoundBinary(s, probability);
  } else {
    coder.EncodeBits(probability, kBinScale, kTotalBits);
    EscapedBinary(s, probability);
  }
}

inline void TPpmdModel::DecodeBinary(TPpmdRangeDecoder& coder) {
  TPpmdState& s = FMinContext->OneState();
  std::uint16_t& probability = BinaryProbability(FMinContext);
  if (coder.ThresholdBits(kTotalBits) < probability) {
    coder.Decode(0, probability);
    FoundBinary(s, probability);
  } else {
    coder.Decode(probability, kBinScale);
    EscapedBinary(s, probability);
  }
}

inline void TPpmdModel::FoundBinary(TPpmdState& s, std::uint16_t& probability) {
  probability = static_cast<std::uint16_t>(probability + kInterval - BinaryMean(probability));
  FFoundState = &s;
  s.Freq = static_cast<std::uint8_t>(s.Freq + (s.Freq < 128));
  FPrevSuccess = 1;
  FRunLength = Wrapped(FRunLength, 1);
}

inline void TPpmdModel::EscapedBinary(TPpmdState& s, std::uint16_t& probability) {
  probability = static_cast<std::uint16_t>(probability - BinaryMean(probability));
  // The probability stays below 2^14, so its top four bits pick the entry.
  FInitEscape = kExpEscape[probability >> 10];
  FNumMasked = 1;
  FCharMask[s.Symbol] = FEscCount;
  FPrevSuccess = 0;
  FFoundState = nullptr;
}

// The escape estimate after an escape, from an SEE cell chosen by the number
// of symbols left, whether the suffix adds more symbols than are left, the
// context's weight per symbol, how many symbols were masked and the high
// bit of the previous byte. The order-0 context with every byte still in it
// escapes with weight 1.
inline TPpmdSee* TPpmdModel::MaskedEscape(unsigned unmasked, std::uint32_t& escape) {
  const TPpmdContext* c = FMinContext;
  const unsigned count = c->NumStats;
  if (count == 256) {
    escape = 1;
    return &FDummySee;
  }
  const TPpmdContext* suffix = SuffixOf(c);
  const int suffixExtra = (suffix != nullptr ? suffix->NumStats : 256) - static_cast<int>(count);
  TPpmdSee* see = &FSee[kTables.SeeClass[unmasked - 1]][(static_cast<int>(unmasked) < suffixExtra) +
                                                        2 * (c->SummFreq < 11 * count) +
                                                        4 * (FNumMasked > unmasked) + FHiBitsFlag];
  escape = SeeMean(see);
  return see;
}

// A context entered after an escape: only the symbols not masked take part.
// The byte being coded is never masked (a longer context would have held
// it). The sums run over the whole state array and fold the mask test into
// the arithmetic instead of branching on it, which data with many escapes
// would mispredict at every state; encoder and decoder scan alike, so they
// stay in step whatever the masks hold.
void TPpmdModel::EncodeMasked(TPpmdRangeEncoder& coder, int symbol) {
  TPpmdContext* c = FMinContext;
  std::uint32_t scale = 0;
  TPpmdSee* see = MaskedEscape(c->NumStats - FNumMasked, scale);
  const std::uint8_t generation = FEscCount;
  TPpmdState* s = StatsOf(c);
  TPpmdState* const end = s + c->NumStats;
  std::uint32_t low = 0;
  for (; s != end; ++s) {
    const std::uint32_t unmasked = FCharMask[s->Symbol] != generation;
    if (s->Symbol == symbol && unmasked != 0) break;
    low += s->Freq & (0u - unmasked);
    FCharMask[s->Symbol] = generation;
  }
  if (s == end) {
    scale += low;
    coder.Encode(low, scale, scale);
    see->Summ = static_cast<std::uint16_t>(see->Summ + scale);
    FNumMasked = c->NumStats;
    return;
  }
  TPpmdState* const found = s;
  std::uint32_t total = low + found->Freq;
  for (++s; s != end; ++s)
    total += s->Freq & (0u - static_cast<std::uint32_t>(FCharMask[s->Symbol] != generation));
  scale += total;
  coder.Encode(low, low + found->Freq, scale);
  SeeUpdate(see);
  FoundMasked(found);
}

void TPpmdModel::DecodeMasked(TPpmdRangeDecoder& coder) {
  TPpmdContext* c = FMinContext;
  std::uint32_t scale = 0;
  TPpmdSee* see = MaskedEscape(c->NumStats - FNumMasked, scale);
  const std::uint8_t generation = FEscCount;
  TPpmdState* const stats = StatsOf(c);
  TPpmdState* const end = stats + c->NumStats;
  std::uint32_t total = 0;
  for (const TPpmdState* s = stats; s != end; ++s)
    total += s->Freq & (0u - static_cast<std::uint32_t>(FCharMask[s->Symbol] != generation));
  scale += total;
  const std::uint32_t target = coder.Threshold(scale);
  if (target < total) {
    // A masked state adds nothing, so the sum first passes the target at an
    // unmasked one, before the end since the target is below the total.
    TPpmdState* s = stats;
    std::uint32_t high = 0;
    for (;; ++s) {
      high += s->Freq & (0u - static_cast<std::uint32_t>(FCharMask[s->Symbol] != generation));
      if (high > target) break;
    }
    coder.Decode(high - s->Freq, high);
    SeeUpdate(see);
    FoundMasked(s);
    return;
  }
  coder.Decode(total, scale);
  MaskAll(stats, c->NumStats);
  see->Summ = static_cast<std::uint16_t>(see->Summ + scale);
  FNumMasked = c->NumStats;
}

// Found after an escape: a new mask generation begins and the run of binary
// successes starts again.
inline void TPpmdModel::FoundMasked(TPpmdState* s) {
  FFoundState = s;
  s->Freq = static_cast<std::uint8_t>(s->Freq + 4);
  FMinContext->SummFreq = static_cast<std::uint16_t>(FMinContext->SummFreq + 4);
  if (s->Freq > kMaxFreq) Rescale(FMinContext);
  ++FEscCount;
  FRunLength = FInitRunLength;
}

// --- the model update ---------------------------------------------------------

// Halves the counts of a context whose found symbol grew past kMaxFreq, keeps
// the states sorted by count, and drops symbols whose count reaches 0 (only
// at full order, where the halving does not round up). A context left with
// one symbol becomes a single-symbol context.
void TPpmdModel::Rescale(TPpmdContext* c) {
  TPpmdState* const stats = StatsOf(c);
  const unsigned oldCount = c->NumStats;
  for (TPpmdState* s = FFoundState; s != stats; --s) std::swap(s[0], s[-1]);
  stats->Freq = static_cast<std::uint8_t>(stats->Freq + 4);
  c->SummFreq = static_cast<std::uint16_t>(c->SummFreq + 4);
  int escFreq = c->SummFreq - stats->Freq;
  const unsigned adder = FOrderFall != 0;
  stats->Freq = static_cast<std::uint8_t>((stats->Freq + adder) >> 1);
  unsigned summ = stats->Freq;
  for (unsigned i = 1; i < oldCount; ++i) {
    TPpmdState* s = stats + i;
    escFreq -= s->Freq;
    s->Freq = static_cast<std::uint8_t>((s->Freq + adder) >> 1);
    summ += s->Freq;
    if (s->Freq > s[-1].Freq) {
      const TPpmdState moving = *s;
      TPpmdState* hole = s;
      do {
        hole[0] = hole[-1];
      } while (--hole != stats && moving.Freq > hole[-1].Freq);
      *hole = moving;
    }
  }
  unsigned count = oldCount;
  if (stats[count - 1].Freq == 0) {
    // The first state keeps a count of at least 2, so the run of zeros ends.
    unsigned zeros = 0;
    do {
      ++zeros;
    } while (stats[count - 1 - zeros].Freq == 0);
    escFreq += static_cast<int>(zeros);
    count -= zeros;
    if (count == 1) {
      TPpmdState only = *stats;
      do {
        only.Freq = static_cast<std::uint8_t>(only.Freq - (only.Freq >> 1));
        escFreq >>= 1;
      } while (escFreq > 1);
      FMemory.FreeUnits(stats, (oldCount + 1) >> 1);
      c->NumStats = 1;
      c->OneState() = only;
      FFoundState = &c->OneState();
      return;
    }
    c->NumStats = static_cast<std::uint16_t>(count);
  }
  escFreq -= escFreq >> 1;
  c->SummFreq = static_cast<std::uint16_t>(summ + escFreq);
  const unsigned oldUnits = (oldCount + 1) >> 1;
  const unsigned newUnits = (count + 1) >> 1;
  if (oldUnits != newUnits) c->Stats = Offset(FMemory.ShrinkUnits(stats, oldUnits, newUnits));
  FFoundState = StatsOf(c);
}

TPpmdState* TPpmdModel::FindState(TPpmdContext* c, std::uint8_t symbol) {
  if (c->NumStats == 1) {
    if (c->OneState().Symbol == symbol) return &c->OneState();
  } else {
    TPpmdState* s = StatsOf(c);
    for (unsigned left = c->NumStats; left != 0; --left, ++s) {
      if (s->Symbol == symbol) return s;
    }
  }
  ++FAnomalies;
  return nullptr;
}

// Builds the missing contexts of the byte just coded. Starting below the
// current context, every suffix whose state for the byte still points at the
// same text position gets a new child context, one order longer, holding
// the byte that followed in the text with a count inherited from the
// shortest context that already knows that continuation. Answers the longest
// new context (or the existing one found), or null when memory ran out.
TPpmdContext* TPpmdModel::CreateSuccessors(bool skip, TPpmdState* suffixState) {
  TPpmdContext* c = FMinContext;
  const std::uint32_t upBranch = FFoundState->Successor();
  const std::uint8_t symbol = FFoundState->Symbol;
  TPpmdState* chain[kMaxOrder + 2];
  unsigned depth = 0;
  if (!skip) chain[depth++] = FFoundState;
  TPpmdState* s = suffixState;
  while (c->Suffix != 0) {
    c = Ctx(c->Suffix);
    if (s == nullptr && (s = FindState(c, symbol)) == nullptr) return nullptr;
    if (s->Successor() != upBranch) {
      // A shorter context already leads on: its successor is a real context.
      if (s->Successor() <= FMemory.TextOffset()) {
        ++FAnomalies;
        return nullptr;
      }
      c = Ctx(s->Successor());
      break;
    }
    if (depth == std::size(chain)) {
      ++FAnomalies;
      return nullptr;
    }
    chain[depth++] = s;
    s = nullptr;
  }
  if (depth == 0) return c;

  // The successor is a text position at or below the text end, whose byte
  // is always written (the byte at the end is kept at 0).
  if (upBranch == 0 || upBranch > FMemory.TextOffset()) {
    ++FAnomalies;
    return nullptr;
  }
  TPpmdState up;
  up.Symbol = FBase[upBranch];
  up.SetSuccessor(upBranch + 1);
  if (c->NumStats != 1) {
    const TPpmdState* known = FindState(c, up.Symbol);
    if (known == nullptr) return nullptr;
    const std::uint32_t cf = known->Freq - 1u;
    const std::uint32_t s0 = c->SummFreq - c->NumStats - cf;
    // A context's escape weight keeps s0 above 0; the guard only keeps a
    // fault from dividing by zero.
    up.Freq = static_cast<std::uint8_t>(
        1 + ((2 * cf <= s0) ? (5 * cf > s0) : ((2 * cf + 3 * s0 - 1) / (2 * std::max(s0, 1u)))));
  } else {
    up.Freq = c->OneState().Freq;
  }
  do {
    auto* child = static_cast<TPpmdContext*>(FMemory.AllocContext());
    if (child == nullptr) return nullptr;
    child->NumStats = 1;
    child->OneState() = up;
    child->Suffix = Offset(c);
    chain[--depth]->SetSuccessor(Offset(child));
    c = child;
  } while (depth != 0);
  return c;
}

// After each byte: raise its count in the suffix context, make sure the
// context that follows it exists (or remember the text position where it
// would start), add the byte to every context escaped from with a count
// estimated from its count here, and move to the next context.
void TPpmdModel::UpdateModel() {
  const TPpmdState fs = *FFoundState;  // a copy: the states move when arrays grow
  TPpmdState* suffixState = nullptr;
  TPpmdContext* suffix = SuffixOf(FMinContext);
  if (fs.Freq < kMaxFreq / 4 && suffix != nullptr) {
    if (suffix->NumStats != 1) {
      TPpmdState* s = StatsOf(suffix);
      if (s->Symbol != fs.Symbol) {
        if ((s = FindState(suffix, fs.Symbol)) == nullptr) return RestartModel();
        if (s[0].Freq >= s[-1].Freq) {
          std::swap(s[0], s[-1]);
          --s;
        }
      }
      if (s->Freq < kMaxFreq - 9) {
        s->Freq = static_cast<std::uint8_t>(s->Freq + 2);
        suffix->SummFreq = static_cast<std::uint16_t>(suffix->SummFreq + 2);
      }
      suffixState = s;
    } else {
      TPpmdState* s = &suffix->OneState();
      if (s->Symbol != fs.Symbol) {
        ++FAnomalies;
        return RestartModel();
      }
      s->Freq = static_cast<std::uint8_t>(s->Freq + (s->Freq < 32));
      suffixState = s;
    }
  }

  if (FOrderFall == 0) {
    TPpmdContext* next = CreateSuccessors(true, suffixState);
    if (next == nullptr) return RestartModel();
    FFoundState->SetSuccessor(Offset(next));
    FMinContext = FMaxContext = next;
    return;
  }

  std::uint8_t* text = FMemory.Text();
  *text++ = fs.Symbol;
  if (text >= FMemory.UnitsStart()) return RestartModel();
  // Keep the byte at the text end defined: a successor may point at it, and
  // stale bytes from an earlier use of the memory must not reach the model.
  *text = 0;
  FMemory.SetText(text);
  std::uint32_t successor = Offset(text);
  std::uint32_t fsSuccessor = fs.Successor();
  if (fsSuccessor != 0) {
    if (fsSuccessor <= successor) {
      TPpmdContext* built = CreateSuccessors(false, suffixState);
      if (built == nullptr) return RestartModel();
      fsSuccessor = Offset(built);
    }
    if (--FOrderFall == 0) {
      successor = fsSuccessor;
      if (FMaxContext != FMinContext) FMemory.SetText(text - 1);
    }
  } else {
    FFoundState->SetSuccessor(successor);
    fsSuccessor = Offset(FMinContext);
  }

  const std::uint32_t ns = FMinContext->NumStats;
  const std::uint32_t s0 = FMinContext->SummFreq - ns - (fs.Freq - 1u);
  for (TPpmdContext* c = FMaxContext; c != FMinContext; c = SuffixOf(c)) {
    if (c == nullptr) {
      ++FAnomalies;
      return RestartModel();
    }
    const unsigned count = c->NumStats;
    if (count != 1) {
      if ((count & 1) == 0) {
        void* grown = FMemory.ExpandUnits(StatsOf(c), count >> 1);
        if (grown == nullptr) return RestartModel();
        c->Stats = Offset(grown);
      }
      c->SummFreq = static_cast<std::uint16_t>(c->SummFreq + (2 * count < ns) +
                                               2 * ((4 * count <= ns) & (c->SummFreq <= 8 * count)));
    } else {
      auto* pair = static_cast<TPpmdState*>(FMemory.AllocUnits(1));
      if (pair == nullptr) return RestartModel();
      *pair = c->OneState();
      c->Stats = Offset(pair);
      pair->Freq = static_cast<std::uint8_t>(pair->Freq < kMaxFreq / 4 - 1 ? pair->Freq * 2 : kMaxFreq - 4);
      c->SummFreq = static_cast<std::uint16_t>(pair->Freq + FInitEscape + (ns > 3));
    }
    std::uint32_t cf = 2 * fs.Freq * (c->SummFreq + 6u);
    const std::uint32_t sf = s0 + c->SummFreq;
    if (cf < 6 * sf) {
      cf = 1 + (cf > sf) + (cf >= 4 * sf);
      c->SummFreq = static_cast<std::uint16_t>(c->SummFreq + 3);
    } else {
      cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
      c->SummFreq = static_cast<std::uint16_t>(c->SummFreq + cf);
    }
    TPpmdState* added = StatsOf(c) + count;
    added->Symbol = fs.Symbol;
    added->Freq = static_cast<std::uint8_t>(cf);
    added->SetSuccessor(successor);
    c->NumStats = static_cast<std::uint16_t>(count + 1);
  }
  FMaxContext = FMinContext = Ctx(fsSuccessor);
}

}  // namespace qel::ppmd
