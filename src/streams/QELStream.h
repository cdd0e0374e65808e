#pragma once
// TQELStream: the engine's byte streams. A stream has a size and a position;
// reads and writes move the position and answer the bytes moved.
//
// Concrete streams: TQELMemoryStream (an engine memory block), TQELFileStream
// (a file), TQELTemporaryStream (memory that spills to a temporary file) and
// TQELCompressedBLOBStream (a BLOB value as a chain of compressed blocks).

#include <cstdint>
#include <functional>

#include "platform/QELSync.h"

namespace qel {

enum TQELSeekOrigin : std::uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TQELStream {
 public:
  // Called with the stream and the percentage done while copying.
  using TProgressEvent = std::function<void(TQELStream& sender, double percentDone)>;

  static constexpr std::int32_t kDefaultBlockSize = 102400;

  virtual ~TQELStream() = default;
  TQELStream(const TQELStream&) = delete;
  TQELStream& operator=(const TQELStream&) = delete;

  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) = 0;
  virtual std::int64_t GetSize() = 0;
  virtual void SetSize(std::int64_t size) = 0;
  // Finishes a stream that hands what was written on elsewhere when it
  // goes (a BLOB field's): the hand-over happens here, and a failure of it
  // raises here instead of being lost in the destructor. Nothing for other
  // streams.
  virtual void Close() {}

  std::int64_t Position() { return Seek(0, soCurrent); }

  // Exactly `count` bytes, or "Cannot write to stream. ..." / "Cannot read
  // from stream. ..." with `nativeError` and the stream's position and size.
  void WriteChecked(const void* buffer, std::int64_t count, std::int32_t nativeError);
  void ReadChecked(void* buffer, std::int64_t count, std::int32_t nativeError);
  void SetPosition(std::int64_t position) { Seek(position, soBeginning); }

  virtual void LockStream() { FLock.lock(); }
  virtual void UnlockStream() { FLock.unlock(); }

  // Copies the whole stream into `dest` from position 0 in chunks of
  // BlockSize, reporting progress; both positions are restored afterwards.
  void SaveToStream(TQELStream& dest);
  // Empties this stream and copies `count` bytes of `source` from
  // `sourcePosition` into it.
  void CopyFrom(TQELStream& source, std::int64_t count, std::int64_t sourcePosition);
  void LoadFromStream(TQELStream& source);

  std::int32_t BlockSize = kDefaultBlockSize;
  TProgressEvent OnProgress;

 protected:
  TQELStream() = default;

 private:
  void Report(double percentDone);
  void CopyChunks(TQELStream& from, TQELStream& to, std::int64_t count, std::int32_t zeroBlockCode,
                  std::int32_t readCode, std::int32_t writeCode);

  TQELCriticalSection FLock;
};

}  // namespace qel
