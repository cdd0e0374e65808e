#pragma once
// TQELLocalBLOBStream: a BLOB field's value opened through a cursor. It
// reads, seeks and sizes through the table data's value stream and refuses
// writes when opened for reading. The cursor keeps it until the field is
// closed (which posts a written value into the record) and then tells its
// wrapper, the component-level stream in front of it, that it is gone.

#include <cstdint>
#include <memory>

#include "storage/QELBlobValueStream.h"
#include "streams/QELStream.h"

namespace qel {

// Opening modes of a cursor BLOB stream.
enum TQELBlobStreamMode : std::uint8_t { bmWrite = 0, bmRead = 1, bmReadWrite = 2 };

// The component-level stream that stands in front of an engine stream; it
// learns when the cursor frees the stream it uses.
class TQELBlobStreamWrapper {
 public:
  virtual ~TQELBlobStreamWrapper() = default;
  virtual void EngineStreamClosed() = 0;
};

class TQELLocalBLOBStream final : public TQELStream {
 public:
  // `fieldNo` numbers the table's fields.
  TQELLocalBLOBStream(std::unique_ptr<TQELBlobValueStream> inner, std::int32_t fieldNo,
                      TQELBlobStreamMode mode);
  ~TQELLocalBLOBStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override { return FInner->Read(buffer, count); }
  // In read mode "Cannot write to read only stream" (10115; 10116 for
  // SetSize).
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override {
    return FInner->Seek(offset, origin);
  }
  std::int64_t GetSize() override { return FInner->GetSize(); }
  void SetSize(std::int64_t size) override;

  TQELBlobValueStream& Inner() { return *FInner; }
  std::int32_t FieldNo() const { return FFieldNo; }
  TQELBlobStreamMode Mode() const { return FMode; }
  bool Writable() const { return FMode != bmRead; }
  bool Modified() const { return FInner->Modified(); }
  TQELBlobStreamWrapper* Wrapper = nullptr;

 private:
  std::unique_ptr<TQELBlobValueStream> FInner;
  std::int32_t FFieldNo;
  TQELBlobStreamMode FMode;
};

}  // namespace qel
