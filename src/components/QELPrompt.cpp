#include "components/QELPrompt.h"

#include <atomic>

namespace qel {

namespace {

std::atomic<TQELPrompt*> gInstalled{nullptr};

}  // namespace

TQELPrompt& QELPrompt() {
  static TQELPrompt silent;
  TQELPrompt* installed = gInstalled.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : silent;
}

void QELSetPrompt(TQELPrompt* prompt) { gInstalled.store(prompt, std::memory_order_release); }

}  // namespace qel
