#include "storage/QELBlobValueStream.h"

#include "platform/QELEndian.h"

namespace qel {

void TQELBlobDescriptor::Load(const std::uint8_t* bytes) {
  BlockCount = QELReadLE<std::int32_t>(bytes);
  UncompressedSize = QELReadLE<std::int64_t>(bytes + 4);
  DataSize = QELReadLE<std::int64_t>(bytes + 12);
}

void TQELBlobDescriptor::Store(std::uint8_t* bytes) const {
  QELWriteLE(bytes, BlockCount);
  QELWriteLE(bytes + 4, UncompressedSize);
  QELWriteLE(bytes + 12, DataSize);
}

TQELBlobValueStream::TQELBlobValueStream(std::unique_ptr<TQELStream> blockData, bool isNew,
                                         const TQELCompressedStreamDescriptor& descriptor,
                                         std::int32_t fieldNo)
    : FBlockData(std::move(blockData)),
      FValue(std::make_unique<TQELCompressedBLOBStream>(*FBlockData, false, isNew, descriptor)),
      FFieldNo(fieldNo) {}

TQELBlobValueStream::~TQELBlobValueStream() = default;

std::int64_t TQELBlobValueStream::Write(const void* buffer, std::int64_t count) {
  FModified = true;
  return FValue->Write(buffer, count);
}

void TQELBlobValueStream::SetSize(std::int64_t size) {
  FModified = true;
  FValue->SetSize(size);
}

}  // namespace qel
