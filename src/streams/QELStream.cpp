#include "streams/QELStream.h"

#include <algorithm>
#include <vector>

#include "platform/QELException.h"

namespace qel {

void TQELStream::Report(double percentDone) {
  if (OnProgress) OnProgress(*this, percentDone);
}

// Copies `count` bytes from the current position of `from` to the current
// position of `to`, BlockSize bytes at a time.
void TQELStream::CopyChunks(TQELStream& from, TQELStream& to, std::int64_t count, std::int32_t zeroBlockCode,
                            std::int32_t readCode, std::int32_t writeCode) {
  if (BlockSize <= 0) throw EQELException(zeroBlockCode, "Stream block size = 0 is not allowed");
  std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::int64_t>(BlockSize, std::max<std::int64_t>(count, 1))));
  Report(0);
  for (std::int64_t done = 0; done < count;) {
    const std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(chunk.size()), count - done);
    const std::int64_t got = from.Read(chunk.data(), want);
    if (got != want) {
      throw EQELException(readCode,
                          "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                          {from.Position(), from.GetSize(), want, got});
    }
    const std::int64_t put = to.Write(chunk.data(), got);
    if (put != got) {
      throw EQELException(writeCode,
                          "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d",
                          {to.Position(), to.GetSize(), got, put});
    }
    done += got;
    Report(static_cast<double>(done) / static_cast<double>(count) * 100.0);
  }
  Report(100);
}

void TQELStream::WriteChecked(const void* buffer, std::int64_t count, std::int32_t nativeError) {
  const std::int64_t position = Position();
  const std::int64_t written = Write(buffer, count);
  if (written != count) {
    throw EQELException(nativeError,
                        "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d",
                        {position, GetSize(), count, written});
  }
}

void TQELStream::ReadChecked(void* buffer, std::int64_t count, std::int32_t nativeError) {
  const std::int64_t position = Position();
  const std::int64_t read = Read(buffer, count);
  if (read != count) {
    throw EQELException(nativeError,
                        "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                        {position, GetSize(), count, read});
  }
}

void TQELStream::SaveToStream(TQELStream& dest) {
  const std::int64_t ownPosition = Position();
  const std::int64_t destPosition = dest.Position();
  SetPosition(0);
  try {
    CopyChunks(*this, dest, GetSize(), 10418, 10146, 10147);
  } catch (...) {
    SetPosition(ownPosition);
    dest.SetPosition(destPosition);
    throw;
  }
  SetPosition(ownPosition);
  dest.SetPosition(destPosition);
}

void TQELStream::CopyFrom(TQELStream& source, std::int64_t count, std::int64_t sourcePosition) {
  SetSize(0);
  SetPosition(0);
  const std::int64_t savedSourcePosition = source.Position();
  source.SetPosition(sourcePosition);
  try {
    CopyChunks(source, *this, count, 10419, 10148, 10149);
  } catch (...) {
    source.SetPosition(savedSourcePosition);
    throw;
  }
  source.SetPosition(savedSourcePosition);
  SetPosition(0);
}

void TQELStream::LoadFromStream(TQELStream& source) { CopyFrom(source, source.GetSize(), 0); }

}  // namespace qel
