#pragma once
// TQELFileStream: a stream over a file. A failure of the system in any
// operation raises EQELException naming the file and the system's error.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/QELFile.h"
#include "streams/QELStream.h"

namespace qel {

class TQELFileStream : public TQELStream {
 public:
  // Creates the file (replacing it) for reading and writing without sharing.
  static constexpr std::uint16_t kCreateMode = 0xFFFF;

  // Mode kCreateMode creates the file (vanishing on close when `temporary`
  // is set); any other mode opens an existing file with access = mode & 0xF
  // (0 read, 1 read and write) and share = mode >> 4 (0 none, 1 read and
  // write, 2 read).
  TQELFileStream(const std::string& fileName, bool temporary, std::uint16_t mode);
  ~TQELFileStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override;
  std::int64_t GetSize() override;
  void SetSize(std::int64_t size) override;

  const std::string& FileName() const { return FFile.FileName(); }
  int Handle() const { return FFile.Handle(); }
  // A stream on a new temporary file "QEL..." that vanishes when closed.
  static std::unique_ptr<TQELFileStream> CreateTemporary();

 private:
  TQELFileStream() = default;
  [[noreturn]] void RaiseIOError(std::int32_t nativeCode, std::string_view what, std::int64_t position,
                                 std::int64_t count);

  TQELFile FFile;
};

}  // namespace qel
