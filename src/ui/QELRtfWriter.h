#pragma once
// TQELRtfWriter: writes paragraphs of runs as RTF that TQELRtfReader reads
// back to the same paragraphs. Each run is a group of its own with its whole
// format; text outside ASCII is written as `\uN?`, so the output is 7-bit
// and needs no code page.

#include <string>

#include "ui/QELRtfDocument.h"

namespace qel {

class TQELRtfWriter {
 public:
  static std::string Write(const TQELRtfDocument& document);
};

}  // namespace qel
