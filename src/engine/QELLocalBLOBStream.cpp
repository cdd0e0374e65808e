// TQELLocalBLOBStream: the mode check in front of a BLOB value stream.

#include "engine/QELLocalBLOBStream.h"

#include "platform/QELException.h"

namespace qel {

TQELLocalBLOBStream::TQELLocalBLOBStream(std::unique_ptr<TQELBlobValueStream> inner,
                                         std::int32_t fieldNo, TQELBlobStreamMode mode)
    : FInner(std::move(inner)), FFieldNo(fieldNo), FMode(mode) {
  if (!FInner) throw EQELException(10114, "Nil pointer occured");
}

TQELLocalBLOBStream::~TQELLocalBLOBStream() {
  if (Wrapper != nullptr) Wrapper->EngineStreamClosed();
}

std::int64_t TQELLocalBLOBStream::Write(const void* buffer, std::int64_t count) {
  if (FMode == bmRead) throw EQELException(10115, "Cannot write to read only stream");
  return FInner->Write(buffer, count);
}

void TQELLocalBLOBStream::SetSize(std::int64_t size) {
  if (FMode == bmRead) throw EQELException(10116, "Cannot write to read only stream");
  FInner->SetSize(size);
}

}  // namespace qel
