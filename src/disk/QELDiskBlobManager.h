#pragma once
// TQELDiskBlobManager: the BLOB, memo and wide memo values of one disk table.
//
// A record keeps a 10-byte slot per BLOB field: a 6-byte reference to the
// stored value (int32 PageNo, int16 EntryID; PageNo 0 or -1 means nothing is
// stored) and a 4-byte handle of the value's in-memory copy, the cache entry.
// Values are stored exactly as their compressed BLOB stream produced them
// (the chain of compressed blocks) with BlockCount and UncompressedSize, so
// this layer never compresses anything. A value that fits goes into a page
// shared with other small values (EntryID is its id there); a larger one
// gets pages of its own (EntryID -1). The BLOB page index finds shared pages
// with room; its count per page is the bytes the entries take. The page
// formats are described in QELSmallBlobPage.h.
//
// Cache entries hold the values of the record buffers being edited, and
// those whose stored bytes were handed out (GetBlobData); a value read into
// a stream goes there straight from its pages.
// A handle is a number the manager hands out, never an address: a handle
// counts only while the manager has an entry under it, so a stale or copied
// slot can never reach freed memory.
//
// Every page an operation fetches is released before it returns, failure or
// not. A failed operation leaves page changes in the session that the caller
// throws away (CancelChanges); record buffers are changed only once an
// operation has succeeded.

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "pagecache/QELPageManager.h"
#include "platform/QELFunctionRef.h"
#include "storage/QELBTreePageIndex.h"
#include "storage/QELBlobValueStream.h"  // TQELBlobDescriptor
#include "values/QELBaseFieldType.h"

namespace qel {

class TQELBaseFieldManager;
class TQELCompressedBLOBStream;
class TQELRecordReader;
class TQELStream;

// A BLOB slot of a record, kQELBlobMemorySlotSize bytes:
//
//   0  4  PageNo   } the reference to the stored value
//   4  2  EntryID  }
//   6  4  handle of the value's cache entry
namespace blob_slot {

inline constexpr int kPageNo = 0;
inline constexpr int kEntryID = 4;
inline constexpr int kHandle = 6;

}  // namespace blob_slot

// The first 6 bytes of a BLOB slot.
struct TQELBlobReference {
  std::int32_t PageNo = -1;
  std::int16_t EntryID = -1;

  bool IsStored() const { return PageNo != 0 && PageNo != -1; }
  static TQELBlobReference Load(const std::uint8_t* slot);
  void Store(std::uint8_t* slot) const;
};

namespace blob_slot {
static_assert(kEntryID == kPageNo + sizeof(TQELBlobReference::PageNo));
static_assert(kHandle == kEntryID + sizeof(TQELBlobReference::EntryID));
static_assert(kHandle + sizeof(std::uint32_t) == kQELBlobMemorySlotSize);
}  // namespace blob_slot

class TQELDiskBlobManager {
 public:
  // The managers are the table's and must outlive this one.
  TQELDiskBlobManager(TQELPageManager& pageManager, TQELRecordReader& recordManager,
                      TQELBaseFieldManager& fieldManager);
  // Discards any cache entries still alive without a word; Close reports them.
  ~TQELDiskBlobManager();
  TQELDiskBlobManager(const TQELDiskBlobManager&) = delete;
  TQELDiskBlobManager& operator=(const TQELDiskBlobManager&) = delete;

  // Frees every cache entry. Entries still alive mean a record buffer was
  // not released: after freeing them, raises "Blob cache not released"
  // (20150).
  void Close();
  // Number of live cache entries.
  std::size_t CacheCount() const { return FCache.size(); }

  // --- record level; `fieldNo` must be a BLOB field of the table ---

  // Reads the stored value into a new cache entry, unless the slot already
  // has one or stores nothing. A reference to a shared entry that is not
  // there leaves the slot without entry. Damage raises 20162.
  void LoadBlob(std::int32_t sessionID, std::uint8_t* record, std::int32_t fieldNo);
  // Stores a changed value: the old stored value is deleted, a non-empty
  // new one stored, the slot gets the new reference ((-1, -1) for an empty
  // value) and the cache entry is freed. Nothing happens without a changed
  // entry.
  void PostBlob(std::int32_t sessionID, std::uint8_t* record, std::int32_t fieldNo);
  // PostBlob for every BLOB field, all or nothing as far as the record
  // buffer goes: when one field fails, no slot has changed and every entry
  // is still there to be posted again once the session's page changes are
  // cancelled.
  void PostBlobs(std::int32_t sessionID, std::uint8_t* record);
  // Deletes the stored value of a non-NULL field (the slot then refers to
  // nothing) and marks its cache entry unchanged. A reference to an entry
  // that is not there raises "Cannot find blob field" (20171).
  void DeleteBlob(std::int32_t sessionID, std::uint8_t* record, std::int32_t fieldNo);
  void DeleteBlobs(std::int32_t sessionID, std::uint8_t* record);

  // Writes the value's stored block data into `stream` at its position and
  // answers its descriptor; a NULL field gives a zero descriptor and writes
  // nothing. The data comes from the field's cache entry when it has one,
  // else straight from its pages, without making an entry. A value that
  // cannot be loaded raises "Cannot read BLOB field value" (20162).
  void ReadBlobToStream(std::int32_t sessionID, std::uint8_t* record, TQELStream& stream,
                        TQELBlobDescriptor& descriptor, std::int32_t fieldNo);
  // Replaces the field's value by the one `blobStream` holds: a new, changed
  // cache entry with the stream's BlockCount and UncompressedSize and a copy
  // of all of `blockData`, the stream the compressed stream writes into.
  // An empty value makes the field NULL.
  void StoreBlobFromStream(std::uint8_t* record, std::int32_t fieldNo,
                           TQELCompressedBLOBStream& blobStream, TQELStream& blockData);
  // The value's stored block data (owned by the cache entry: valid until it
  // is freed) and its descriptor, for copying values between tables without
  // recompressing them. A NULL field gives a zero descriptor and no data; a
  // value that cannot be loaded raises "Cannot read BLOB field value"
  // (20291).
  void GetBlobData(std::int32_t sessionID, std::uint8_t* record, const std::uint8_t*& data,
                   TQELBlobDescriptor& descriptor, std::int32_t fieldNo);
  // Makes a copy of such data the field's new, changed value; the field is
  // NULL when the value is empty.
  void PutBlobData(std::uint8_t* record, const void* data, const TQELBlobDescriptor& descriptor,
                   std::int32_t fieldNo);
  // Frees the field's cache entry and clears the slot's handle, except for a
  // changed entry when `force` is false (it and its handle stay).
  void FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo, bool force);

  // --- table level ---

  // Creates the BLOB page index of a new table.
  void CreateBlobStorage(std::int32_t sessionID);
  // Frees the pages of every stored value of the table (found by reading
  // every record) and empties the BLOB page index. Nothing for a table
  // without BLOB fields.
  void EmptyBlobs(std::int32_t sessionID);
  // EmptyBlobs, then drops the BLOB page index.
  void DropBlobs(std::int32_t sessionID);
  // The BLOB page index's root page number, an int32 of the table metadata.
  void LoadIndexRoot(TQELStream& stream);
  void SaveIndexRoot(TQELStream& stream);

  TQELBTreeBlobPageIndex& BlobPageIndex() { return FIndex; }

 private:
  // The in-memory copy of one value. Data is an engine memory block of
  // exactly DataSize bytes (none when DataSize is 0).
  struct TCacheEntry {
    TCacheEntry() = default;
    ~TCacheEntry();
    TCacheEntry(const TCacheEntry&) = delete;
    TCacheEntry& operator=(const TCacheEntry&) = delete;
    // Allocates Data for `dataSize` bytes.
    void Allocate(std::int64_t dataSize);

    std::int32_t BlockCount = 0;
    std::int64_t UncompressedSize = 0;
    bool Modified = false;
    std::uint8_t* Data = nullptr;
    std::int64_t DataSize = 0;
  };

  // The pages of a large value, read and checked.
  struct TLargeValue {
    std::int32_t BlockCount = 0;
    std::int64_t DataSize = 0;
    std::int64_t UncompressedSize = 0;
    std::vector<std::int32_t> DataPages;
    std::vector<std::int32_t> ListPages;
  };

  std::uint8_t* Slot(std::uint8_t* record, std::int32_t fieldNo) const;
  TCacheEntry* FindEntry(const std::uint8_t* slot) const;
  // Takes ownership of the entry and writes its handle into the slot.
  void AttachEntry(std::uint8_t* slot, std::unique_ptr<TCacheEntry> entry);
  void FreeEntry(std::uint8_t* slot);
  std::uint32_t NextHandle();
  TQELPage* GetBlobPage(std::int32_t sessionID, std::int32_t pageNo);

  // Where a value read from its pages goes: its descriptor first, then its
  // block data in pieces, in order.
  struct TValueSink {
    TQELFunctionRef<void(const TQELBlobDescriptor&)> Begin;
    TQELFunctionRef<void(const std::uint8_t*, std::int64_t)> Append;
  };

  // Reading; null (or false) when a shared page has no entry of the
  // reference's id.
  std::unique_ptr<TCacheEntry> ReadValue(std::int32_t sessionID, const TQELBlobReference& ref);
  std::unique_ptr<TCacheEntry> ReadShared(std::int32_t sessionID, const TQELBlobReference& ref);
  std::unique_ptr<TCacheEntry> ReadLarge(std::int32_t sessionID, std::int32_t firstPageNo);
  // The same reads into a sink, straight from the pages.
  bool ReadSharedTo(std::int32_t sessionID, const TQELBlobReference& ref, const TValueSink& sink);
  void ReadLargeTo(std::int32_t sessionID, std::int32_t firstPageNo, const TValueSink& sink);
  static std::unique_ptr<TCacheEntry> EntryFromSink(
      TQELFunctionRef<bool(const TValueSink&)> read);
  TLargeValue ReadLargeLayout(std::int32_t sessionID, std::int32_t firstPageNo);
  bool LooksLarge(std::int32_t sessionID, std::int32_t pageNo);

  // Storing; answers the new reference.
  TQELBlobReference StoreValue(std::int32_t sessionID, const TCacheEntry& entry);
  TQELBlobReference StoreShared(std::int32_t sessionID, const TCacheEntry& entry);
  TQELBlobReference StoreLarge(std::int32_t sessionID, const TCacheEntry& entry);

  // Deleting.
  void DeleteValue(std::int32_t sessionID, const TQELBlobReference& ref);
  bool DeleteShared(std::int32_t sessionID, const TQELBlobReference& ref);
  void DeleteLarge(std::int32_t sessionID, std::int32_t firstPageNo);
  void RemovePages(std::int32_t sessionID, std::vector<std::int32_t> pageNos);

  // Stores the changed entries of `fieldNos` and, only when all succeeded,
  // writes the new references and frees the entries.
  void PostFields(std::int32_t sessionID, std::uint8_t* record,
                  const std::vector<std::int32_t>& fieldNos);
  // The numbers of the table's BLOB fields (valid until the next call).
  const std::vector<std::int32_t>& BlobFields();

  TQELPageManager& FPageManager;
  TQELRecordReader& FRecordManager;
  TQELBaseFieldManager& FFieldManager;
  TQELBTreeBlobPageIndex FIndex;
  std::unordered_map<std::uint32_t, std::unique_ptr<TCacheEntry>> FCache;
  std::uint32_t FLastHandle = 0;

  // Lists every insert, update and delete fills, kept with their room.
  struct TPosted {
    std::uint8_t* Slot;
    TQELBlobReference Ref;
  };
  std::vector<std::int32_t> FBlobFields;
  std::vector<std::int32_t> FDeletedFields;
  std::vector<TPosted> FPosted;
};

}  // namespace qel
