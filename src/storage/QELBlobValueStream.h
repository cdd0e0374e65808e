#pragma once
// What table data hands out when a cursor opens a BLOB field, and takes
// back when the cursor posts it: the field's value as a compressed BLOB
// stream over a working stream of its own (a copy of the stored blocks, or
// nothing for a new value). Reads, writes and seeks go to the value; the
// storage kind stores the working stream's blocks when the value was
// changed.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "streams/QELCompressedBLOBStream.h"
#include "streams/QELStream.h"
#include "streams/QELTemporaryStream.h"

namespace qel {

// How a stored BLOB value is described when its compressed blocks move
// between tables without being decompressed (20 bytes stored: BlockCount
// int32, UncompressedSize int64, DataSize int64).
struct TQELBlobDescriptor {
  static constexpr std::size_t kSize = 20;
  std::int32_t BlockCount = 0;
  std::int64_t UncompressedSize = 0;
  std::int64_t DataSize = 0;  // bytes of stored block data

  void Load(const std::uint8_t* bytes);
  void Store(std::uint8_t* bytes) const;
};

// Working streams of closed values kept for the next values a table opens,
// so that reading or writing a small value row after row allocates no new
// working stream. Shared by the table and the values it handed out: a
// value may outlive its table. Values close on any thread.
class TQELBlobStreamPool {
 public:
  // A spare stream, emptied as new, or a new one.
  std::unique_ptr<TQELTemporaryStream> Take(bool memoryOnly);
  // Keeps the stream when there is room, or lets it go.
  void Give(std::unique_ptr<TQELTemporaryStream> stream);

 private:
  static constexpr std::size_t kMaxSpare = 4;
  std::mutex FLock;
  std::vector<std::unique_ptr<TQELTemporaryStream>> FSpare;
};

class TQELBlobValueStream final : public TQELStream {
 public:
  // Owns `blockData`; the value starts empty when `isNew`, else from the
  // blocks `blockData` holds as `descriptor` describes them.
  TQELBlobValueStream(std::unique_ptr<TQELStream> blockData, bool isNew,
                      const TQELCompressedStreamDescriptor& descriptor, std::int32_t fieldNo);
  // The same over a working stream of `pool`, given back to it at the end.
  TQELBlobValueStream(std::unique_ptr<TQELTemporaryStream> blockData, bool isNew,
                      const TQELCompressedStreamDescriptor& descriptor, std::int32_t fieldNo,
                      std::shared_ptr<TQELBlobStreamPool> pool);
  ~TQELBlobValueStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override { return FValue.Read(buffer, count); }
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override {
    return FValue.Seek(offset, origin);
  }
  std::int64_t GetSize() override { return FValue.GetSize(); }
  void SetSize(std::int64_t size) override;

  std::int32_t FieldNo() const { return FFieldNo; }
  // Whether the value was written to or resized since it was opened.
  bool Modified() const { return FModified; }
  TQELCompressedBLOBStream& Value() { return FValue; }
  // The stream the value's blocks are written into.
  TQELStream& BlockData() { return *FBlockData; }

 private:
  // Declared first: the value flushes into it when destroyed. The value is
  // held in place, one allocation less per value opened.
  std::unique_ptr<TQELStream> FBlockData;
  TQELCompressedBLOBStream FValue;
  std::int32_t FFieldNo;
  bool FModified = false;
  // Where FBlockData (then a TQELTemporaryStream) goes back to, if anywhere.
  std::shared_ptr<TQELBlobStreamPool> FPool;
};

}  // namespace qel
