// BLOB values of disk tables: values of every size read back exactly through
// real compressed streams, the shared-page and large-value formats byte for
// byte, entry ids, the BLOB page index counts, pages freed once and only
// once, the record-buffer cache, and damaged pages that must raise instead of
// being read past their end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDiskBlobManager.h"
#include "disk/QELSmallBlobPage.h"
#include "platform/QELEndian.h"
#include "storage/QELBaseFieldManager.h"
#include "storage/QELRecordRequest.h"
#include "streams/QELCompressedBLOBStream.h"
#include "streams/QELMemoryStream.h"
#include "streams/QELTemporaryStream.h"
#include "support/MemoryPageManager.h"

namespace qel {
namespace {

using test::NativeErrorOf;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kSession = 0;
constexpr std::uint16_t kPageSize = 1024;
constexpr std::int32_t P = kPageSize - kQELPageHeaderSize;  // page data size, 984
constexpr std::int32_t kID = 0, kData = 1, kNote = 2;     // fields: INTEGER, BLOB, MEMO

using test::TTrackingPageManager;

// The table's records for EmptyBlobs, walked in order.
class TRecordList : public TQELRecordReader {
 public:
  void GetRecord(std::int32_t, TQELRecordRequest& request) override {
    const std::int32_t next = request.BeforeFirst ? 0 : QELReadLE<std::int32_t>(request.RecordID.data()) + 1;
    if (next >= static_cast<std::int32_t>(Records.size())) {
      request.Result = grEOF;
      request.AfterLast = true;
      return;
    }
    const Bytes& record = Records[static_cast<std::size_t>(next)];
    std::memcpy(request.Buffer, record.data(), record.size());
    QELWriteLE(request.RecordID.data(), next);
    request.BeforeFirst = false;
    request.Result = grOK;
  }
  std::vector<Bytes> Records;
};

struct TCodec {
  std::uint8_t Algorithm;
  std::int32_t BlockSize;
};
constexpr TCodec kNone{cmNone, 102400};
constexpr TCodec kZlib{cmZLIB, 16384};

Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

class DiskBlobManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("blob.qel");
    FPages.CreateDatabase(FPath, {"", 0}, 8, kPageSize);
    TQELFieldDefs defs;
    defs.Add("ID", aftInteger, 0);
    defs.Add("DATA", aftBlob, 0);
    defs.Add("NOTE", aftMemo, 0);
    FFields.SetFieldDefs(defs);
    FManager = std::make_unique<TQELDiskBlobManager>(FPages, FRecords, FFields);
    FManager->CreateBlobStorage(kSession);
    Commit();
    FBaselineUsed = FPages.UsedPageCount();
  }

  void TearDown() override {
    FPages.CancelChanges(kSession);
    FManager.reset();
  }

  void Commit() { FPages.ApplyChanges(kSession); }

  // Closes and reopens the file, so that values come from disk; the index
  // root travels through the table metadata as it would.
  void Reopen() {
    TQELMemoryStream metadata;
    FManager->SaveIndexRoot(metadata);
    FManager.reset();
    FPages.CloseDatabase();
    FPages.OpenDatabase(FPath, {});
    FManager = std::make_unique<TQELDiskBlobManager>(FPages, FRecords, FFields);
    metadata.SetPosition(0);
    FManager->LoadIndexRoot(metadata);
  }

  Bytes NewRecord() const {
    Bytes record(static_cast<std::size_t>(FFields.FieldDefs().MemoryRecordSize()), 0);
    SetNull(true, kData, record.data());
    SetNull(true, kNote, record.data());
    return record;
  }
  std::uint8_t* Slot(Bytes& record, std::int32_t field) const {
    return record.data() + FFields.FieldDefs()[field].MemoryOffset();
  }
  TQELBlobReference Ref(Bytes& record, std::int32_t field) const {
    return TQELBlobReference::Load(Slot(record, field));
  }

  // Writes `value` through a compressed stream, as an edit does.
  void SetValue(Bytes& record, std::int32_t field, const Bytes& value, TCodec codec) {
    TQELTemporaryStream blocks(true);
    TQELCompressedStreamDescriptor descriptor;
    descriptor.BlockSize = codec.BlockSize;
    descriptor.CompressionAlgorithm = codec.Algorithm;
    descriptor.CompressionMode = codec.Algorithm == cmNone ? 0 : 6;
    TQELCompressedBLOBStream stream(blocks, false, true, descriptor);
    if (!value.empty()) {
      ASSERT_EQ(stream.Write(value.data(), static_cast<std::int64_t>(value.size())),
                static_cast<std::int64_t>(value.size()));
    }
    FManager->StoreBlobFromStream(record.data(), field, stream, blocks);
  }

  // Reads the value back through a compressed stream and releases the cache.
  Bytes GetValue(Bytes& record, std::int32_t field, TCodec codec) {
    TQELTemporaryStream blocks(true);
    TQELBlobDescriptor stored;
    FManager->ReadBlobToStream(kSession, record.data(), blocks, stored, field);
    FManager->FreeBlobCache(record.data(), field, false);
    EXPECT_EQ(stored.DataSize, blocks.GetSize());
    TQELCompressedStreamDescriptor descriptor;
    descriptor.BlockSize = codec.BlockSize;
    descriptor.BlockCount = stored.BlockCount;
    descriptor.UncompressedSize = stored.UncompressedSize;
    descriptor.CompressionAlgorithm = codec.Algorithm;
    descriptor.CompressionMode = codec.Algorithm == cmNone ? 0 : 6;
    TQELCompressedBLOBStream stream(blocks, false, false, descriptor);
    Bytes value(static_cast<std::size_t>(stored.UncompressedSize));
    if (!value.empty()) {
      EXPECT_EQ(stream.Read(value.data(), stream.GetSize()), stream.GetSize());
    }
    return value;
  }

  // Changes the stored bytes of a page and commits the change.
  void PatchPage(std::int32_t pageNo, const std::function<void(std::uint8_t* data, std::uint8_t* header)>& patch) {
    TQELPageGuard page(FPages, FPages.GetPage(kSession, pageNo, false, kQELAnyPageType));
    patch(page->Data(), page->Header());
    page->IsDirty = true;
  }
  Bytes PageData(std::int32_t pageNo) {
    TQELPageGuard page(FPages, FPages.GetPage(kSession, pageNo, false, kQELAnyPageType));
    return Bytes(page->Data(), page->Data() + P);
  }
  std::int32_t NextPageNo(std::int32_t pageNo) {
    TQELPageGuard page(FPages, FPages.GetPage(kSession, pageNo, false, kQELAnyPageType));
    return page_header::NextPageNo(page->Header());
  }
  std::int32_t IndexCount(std::int32_t pageNo) {
    return FManager->BlobPageIndex().GetCount(kSession, pageNo);
  }

  test::TScratchDir FDir;
  std::string FPath;
  TTrackingPageManager FPages;
  TRecordList FRecords;
  TQELBaseFieldManager FFields{nullptr};
  std::unique_ptr<TQELDiskBlobManager> FManager;
  std::int32_t FBaselineUsed = 0;
};

TEST_F(DiskBlobManagerTest, ValuesOfEverySizeReadBackExactlyAfterReopenAndUpdate) {
  struct Case {
    const char* Name;
    std::size_t Size;
    TCodec Codec;
  };
  const Case cases[] = {
      {"empty", 0, kNone},
      {"1 byte", 1, kNone},
      {"100 bytes", 100, kNone},
      {"largest shared", P - 25, kNone},
      {"smallest large", P - 24, kNone},
      {"list straddles pages", 2 * P - 34, kNone},
      {"list on its own page", 2 * P - 32, kNone},
      {"5 MB", 5 * 1024 * 1024, kNone},
      {"1 byte zlib", 1, kZlib},
      {"about a page zlib", P, kZlib},
      {"5 MB zlib", 5 * 1024 * 1024, kZlib},
  };
  const std::size_t n = std::size(cases);
  std::vector<Bytes> records(n, NewRecord());
  std::vector<Bytes> values(n);
  auto writeAll = [&](std::size_t shift, std::uint32_t seed) {
    for (std::size_t i = 0; i < n; ++i) {
      values[i] = RandomBytes(cases[(i + shift) % n].Size, seed + static_cast<std::uint32_t>(i));
      SetValue(records[i], kData, values[i], cases[i].Codec);
      FManager->PostBlobs(kSession, records[i].data());
    }
    Commit();
    EXPECT_EQ(FManager->CacheCount(), 0u);
    Reopen();
  };
  auto checkAll = [&](const char* when) {
    for (std::size_t i = 0; i < n; ++i) {
      SCOPED_TRACE(std::string(when) + ": " + cases[i].Name + ", size " + std::to_string(values[i].size()));
      EXPECT_EQ(IsNull(kData, records[i].data()), values[i].empty());
      EXPECT_TRUE(GetValue(records[i], kData, cases[i].Codec) == values[i]);
    }
  };
  writeAll(0, 1);
  checkAll("stored");
  EXPECT_EQ(Ref(records[4], kData).EntryID, -1);  // P - 24: no longer shared
  EXPECT_GE(Ref(records[3], kData).EntryID, 0);
  writeAll(3, 100);  // every record gets another case's size
  checkAll("updated");

  for (Bytes& record : records) FManager->DeleteBlobs(kSession, record.data());
  Commit();
  EXPECT_EQ(FPages.UsedPageCount(), FBaselineUsed);
  std::int32_t anyPage;
  EXPECT_FALSE(FManager->BlobPageIndex().FirstPage(kSession, anyPage));
}

// A read goes from where the value lies into the caller's stream: the
// stored pages, with no cache entry made, shared or large; or the value
// being edited, which is not stored yet.
TEST_F(DiskBlobManagerTest, ReadsComeFromThePagesOrFromTheValueBeingEdited) {
  for (const std::size_t size : {std::size_t{300}, std::size_t{3 * P}}) {
    SCOPED_TRACE(size);
    Bytes record = NewRecord();
    const Bytes stored = RandomBytes(size, 21);
    SetValue(record, kData, stored, kNone);
    FManager->PostBlobs(kSession, record.data());
    Commit();
    for (int read = 0; read < 2; ++read) {
      TQELMemoryStream stream;
      TQELBlobDescriptor descriptor;
      FManager->ReadBlobToStream(kSession, record.data(), stream, descriptor, kData);
      EXPECT_EQ(FManager->CacheCount(), 0u);
      EXPECT_EQ(descriptor.DataSize, static_cast<std::int64_t>(size));
      EXPECT_TRUE(Bytes(stream.Memory(), stream.Memory() + stream.GetSize()) == stored);
    }
    const Bytes edited = RandomBytes(size / 2, 22);
    SetValue(record, kData, edited, kNone);
    EXPECT_TRUE(GetValue(record, kData, kNone) == edited);
    EXPECT_EQ(FManager->CacheCount(), 1u);  // the edit stays until it is posted
    FManager->FreeBlobCache(record.data(), kData, true);
    EXPECT_TRUE(GetValue(record, kData, kNone) == stored);
    FManager->DeleteBlobs(kSession, record.data());
    Commit();
  }
}

TEST_F(DiskBlobManagerTest, SharedPageLayoutIdsAndIndexCounts) {
  std::vector<Bytes> records(3, NewRecord());
  std::vector<Bytes> values;
  for (Bytes& record : records) {
    values.push_back(RandomBytes(100, static_cast<std::uint32_t>(values.size())));
    SetValue(record, kNote, values.back(), kNone);
    FManager->PostBlob(kSession, record.data(), kNote);
  }
  const std::int32_t pageNo = Ref(records[0], kNote).PageNo;
  for (std::int16_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Ref(records[i], kNote).PageNo, pageNo);
    EXPECT_EQ(Ref(records[i], kNote).EntryID, i);
  }
  EXPECT_EQ(IndexCount(pageNo), 3 * 122);
  Commit();

  const Bytes page = PageData(pageNo);
  EXPECT_EQ(QELReadLE<std::uint16_t>(&page[0]), 3);
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint8_t* entry = &page[2 + 122 * i];
    EXPECT_EQ(QELReadLE<std::int16_t>(entry), static_cast<std::int16_t>(i));
    EXPECT_EQ(QELReadLE<std::int64_t>(entry + 6), 100);
    EXPECT_EQ(QELReadLE<std::int64_t>(entry + 14), 100);
    EXPECT_TRUE(std::equal(values[i].begin(), values[i].end(), entry + 22));
  }

  // Deleting the first entry moves the others down; the next id starts at
  // the entry count (2), which is taken, so it is 3.
  Bytes stale = records[0];
  FManager->DeleteBlob(kSession, records[0].data(), kNote);
  EXPECT_EQ(Ref(records[0], kNote).PageNo, -1);
  // A reference to an entry that is gone is an error, not an empty value.
  TQELMemoryStream stream;
  TQELBlobDescriptor descriptor;
  EXPECT_EQ(NativeErrorOf([&] { FManager->ReadBlobToStream(kSession, stale.data(), stream, descriptor, kNote); }),
            20162);
  EXPECT_EQ(NativeErrorOf([&] { FManager->DeleteBlob(kSession, stale.data(), kNote); }), 20171);
  EXPECT_EQ(Ref(records[0], kNote).EntryID, -1);
  EXPECT_EQ(IndexCount(pageNo), 2 * 122);
  EXPECT_EQ(QELReadLE<std::int16_t>(&PageData(pageNo)[2]), 1);
  SetValue(records[0], kNote, values[0], kNone);
  FManager->PostBlob(kSession, records[0].data(), kNote);
  EXPECT_EQ(Ref(records[0], kNote).EntryID, 3);
  EXPECT_TRUE(GetValue(records[1], kNote, kNone) == values[1]);

  // The last entry gone, the page leaves the index and is freed.
  for (Bytes& record : records) FManager->DeleteBlob(kSession, record.data(), kNote);
  EXPECT_EQ(IndexCount(pageNo), -1);
  EXPECT_EQ(std::count(FPages.Removed.begin(), FPages.Removed.end(), pageNo), 1);
  Commit();
  EXPECT_FALSE(FPages.IsUsed(pageNo));
}

TEST_F(DiskBlobManagerTest, LargeValueLayoutAndPageList) {
  struct Case {
    const char* Name;
    std::int32_t Size;
    std::int32_t ListOffset;  // in the last data page; 0: a page of its own
  };
  for (const Case& c : {Case{"list straddles", 2 * P - 34, P - 2}, Case{"data page full", 2 * P - 32, 0}}) {
    SCOPED_TRACE(c.Name);
    Bytes record = NewRecord();
    const Bytes value = RandomBytes(static_cast<std::size_t>(c.Size), 7);
    SetValue(record, kData, value, kNone);
    FPages.Allocated.clear();
    FManager->PostBlob(kSession, record.data(), kData);
    Commit();
    ASSERT_EQ(FPages.Allocated.size(), 3u);
    const std::int32_t first = FPages.Allocated[0], second = FPages.Allocated[1], third = FPages.Allocated[2];
    EXPECT_EQ(Ref(record, kData).PageNo, first);
    EXPECT_EQ(Ref(record, kData).EntryID, -1);

    const Bytes head = PageData(first);
    EXPECT_EQ(QELReadLE<std::uint16_t>(&head[0]), 0);
    EXPECT_EQ(QELReadLE<std::int64_t>(&head[6]), c.Size);
    EXPECT_EQ(QELReadLE<std::int64_t>(&head[14]), c.Size);
    EXPECT_EQ(QELReadLE<std::int32_t>(&head[22]), c.ListOffset == 0 ? third : second);
    EXPECT_EQ(QELReadLE<std::uint16_t>(&head[26]), c.ListOffset);
    EXPECT_EQ(QELReadLE<std::int32_t>(&head[28]), 2);
    EXPECT_TRUE(std::equal(value.begin(), value.begin() + (P - 32), head.begin() + 32));
    const Bytes tail = PageData(second);
    EXPECT_TRUE(std::equal(value.begin() + (P - 32), value.end(), tail.begin()));

    // The list, [first, second], as one run of bytes over linked pages.
    Bytes list;
    if (c.ListOffset != 0) {
      list.assign(tail.begin() + c.ListOffset, tail.end());
      EXPECT_EQ(NextPageNo(second), third);
    }
    const Bytes own = PageData(third);
    list.insert(list.end(), own.begin(), own.begin() + static_cast<std::ptrdiff_t>(8 - list.size()));
    EXPECT_EQ(QELReadLE<std::int32_t>(&list[0]), first);
    EXPECT_EQ(QELReadLE<std::int32_t>(&list[4]), second);

    EXPECT_TRUE(GetValue(record, kData, kNone) == value);
    FManager->DeleteBlob(kSession, record.data(), kData);
    Commit();
  }
}

TEST_F(DiskBlobManagerTest, DeletingLargeValueFreesEachOfItsPagesOnce) {
  Bytes record = NewRecord();
  // 610 data pages, the last with 208 bytes left; the list's 2440 bytes
  // fill those and three pages of its own.
  SetValue(record, kData, RandomBytes(600000, 3), kNone);
  FPages.Allocated.clear();
  FManager->PostBlob(kSession, record.data(), kData);
  Commit();
  std::vector<std::int32_t> allocated = FPages.Allocated;
  ASSERT_EQ(allocated.size(), 613u);

  FPages.Removed.clear();
  FManager->DeleteBlob(kSession, record.data(), kData);
  std::vector<std::int32_t> removed = FPages.Removed;
  std::sort(allocated.begin(), allocated.end());
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, allocated);
  Commit();
  EXPECT_EQ(FPages.UsedPageCount(), FBaselineUsed);
}

TEST_F(DiskBlobManagerTest, EmptyValueStoresNothingAndStaysNull) {
  Bytes record = NewRecord();
  SetNull(false, kNote, record.data());
  SetValue(record, kNote, {}, kNone);
  EXPECT_TRUE(IsNull(kNote, record.data()));
  FPages.Allocated.clear();
  FManager->PostBlobs(kSession, record.data());
  EXPECT_TRUE(FPages.Allocated.empty());
  EXPECT_TRUE(IsNull(kNote, record.data()));
  EXPECT_FALSE(Ref(record, kNote).IsStored());
  EXPECT_EQ(FManager->CacheCount(), 0u);

  // Emptying a stored value deletes it.
  SetValue(record, kNote, RandomBytes(3000, 4), kNone);
  FManager->PostBlobs(kSession, record.data());
  Commit();
  SetValue(record, kNote, {}, kNone);
  FManager->PostBlobs(kSession, record.data());
  Commit();
  EXPECT_TRUE(IsNull(kNote, record.data()));
  EXPECT_EQ(Ref(record, kNote).PageNo, -1);
  EXPECT_EQ(FPages.UsedPageCount(), FBaselineUsed);
}

TEST_F(DiskBlobManagerTest, ReferencesToNothingLoadNothing) {
  for (const std::int32_t pageNo : {0, -1}) {
    SCOPED_TRACE(pageNo);
    Bytes record = NewRecord();
    SetNull(false, kData, record.data());
    TQELBlobReference{pageNo, 0}.Store(Slot(record, kData));
    FManager->LoadBlob(kSession, record.data(), kData);
    EXPECT_EQ(FManager->CacheCount(), 0u);
    TQELMemoryStream stream;
    TQELBlobDescriptor descriptor;
    EXPECT_EQ(NativeErrorOf([&] { FManager->ReadBlobToStream(kSession, record.data(), stream, descriptor, kData); }),
              20162);
    const std::uint8_t* data = nullptr;
    EXPECT_EQ(NativeErrorOf([&] { FManager->GetBlobData(kSession, record.data(), data, descriptor, kData); }),
              20291);
    // A NULL field has no value at all.
    SetNull(true, kData, record.data());
    FManager->ReadBlobToStream(kSession, record.data(), stream, descriptor, kData);
    EXPECT_EQ(descriptor.UncompressedSize, 0);
    EXPECT_EQ(stream.GetSize(), 0);
  }
}

TEST_F(DiskBlobManagerTest, CacheEntriesBelongToTheManagerNotTheSlot) {
  Bytes record = NewRecord();
  const Bytes value = RandomBytes(500, 5);
  SetValue(record, kData, value, kZlib);
  FManager->PostBlob(kSession, record.data(), kData);
  Commit();

  // A handle the manager never handed out is ignored.
  QELWriteLE<std::uint32_t>(Slot(record, kData) + blob_slot::kHandle, 0xDEADBEEF);
  EXPECT_TRUE(GetValue(record, kData, kZlib) == value);
  EXPECT_EQ(FManager->CacheCount(), 0u);

  // A changed entry survives an ordinary release, not a forced one.
  SetValue(record, kData, RandomBytes(10, 6), kZlib);
  FManager->FreeBlobCache(record.data(), kData, false);
  EXPECT_EQ(FManager->CacheCount(), 1u);
  FManager->FreeBlobCache(record.data(), kData, true);
  EXPECT_EQ(FManager->CacheCount(), 0u);
  EXPECT_EQ(QELReadLE<std::uint32_t>(Slot(record, kData) + blob_slot::kHandle), 0u);

  // Closing with a changed entry alive reports it; destroying does not throw.
  SetValue(record, kData, RandomBytes(10, 6), kZlib);
  try {
    FManager->Close();
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_STREQ(e.what(), "Blob cache not released - Native error: 20150");
  }
  EXPECT_EQ(FManager->CacheCount(), 0u);
  SetValue(record, kData, RandomBytes(10, 6), kZlib);
  FManager.reset();
}

TEST_F(DiskBlobManagerTest, ValuesCopyBetweenRecordsWithoutRecompression) {
  Bytes source = NewRecord(), target = NewRecord();
  const Bytes value = RandomBytes(200000, 8);
  SetValue(source, kData, value, kZlib);
  FManager->PostBlob(kSession, source.data(), kData);
  const std::uint8_t* data = nullptr;
  TQELBlobDescriptor descriptor;
  FManager->GetBlobData(kSession, source.data(), data, descriptor, kData);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(descriptor.UncompressedSize, 200000);
  EXPECT_GT(descriptor.BlockCount, 1);
  FManager->PutBlobData(target.data(), data, descriptor, kData);
  FManager->FreeBlobCache(source.data(), kData, false);
  EXPECT_FALSE(IsNull(kData, target.data()));
  FManager->PostBlobs(kSession, target.data());
  EXPECT_NE(Ref(target, kData).PageNo, Ref(source, kData).PageNo);
  EXPECT_TRUE(GetValue(target, kData, kZlib) == value);

  // A NULL field gives nothing.
  FManager->GetBlobData(kSession, target.data(), data, descriptor, kNote);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(descriptor.DataSize, 0);
  Commit();
}

// Posting the fields of a record is all or nothing for the record buffer: a
// failure in the second field leaves both slots and both changed entries as
// they were, so the post can be repeated after the session's page changes
// are cancelled.
TEST_F(DiskBlobManagerTest, FailedPostLeavesRecordReadyToPostAgain) {
  Bytes record = NewRecord();
  const Bytes oldData = RandomBytes(3000, 9), oldNote = RandomBytes(4000, 10);
  SetValue(record, kData, oldData, kNone);
  SetValue(record, kNote, oldNote, kNone);
  FManager->PostBlobs(kSession, record.data());
  Commit();
  const TQELBlobReference oldDataRef = Ref(record, kData), oldNoteRef = Ref(record, kNote);

  const Bytes newData = RandomBytes(2 * P - 34, 11), newNote = RandomBytes(5000, 12);
  SetValue(record, kData, newData, kNone);
  SetValue(record, kNote, newNote, kNone);
  const Bytes before = record;
  FPages.FailAfter = 3;  // enough for the first field only
  EXPECT_EQ(NativeErrorOf([&] { FManager->PostBlobs(kSession, record.data()); }), 1);
  EXPECT_EQ(record, before);
  EXPECT_EQ(FManager->CacheCount(), 2u);
  FPages.CancelChanges(kSession);

  FPages.FailAfter = -1;
  FManager->PostBlobs(kSession, record.data());
  Commit();
  EXPECT_EQ(FManager->CacheCount(), 0u);
  EXPECT_TRUE(GetValue(record, kData, kNone) == newData);
  EXPECT_TRUE(GetValue(record, kNote, kNone) == newNote);
  EXPECT_FALSE(FPages.IsUsed(oldDataRef.PageNo));
  EXPECT_FALSE(FPages.IsUsed(oldNoteRef.PageNo));
}

TEST_F(DiskBlobManagerTest, EmptyAndDropFreeEveryPageOnce) {
  // Two small values sharing a page, a large value, and a NULL field.
  for (const std::size_t size : {100u, 200u, 40000u, 0u}) {
    Bytes record = NewRecord();
    SetValue(record, kData, RandomBytes(size, static_cast<std::uint32_t>(size)), kNone);
    SetValue(record, kNote, RandomBytes(size / 2, 1), kNone);
    FManager->PostBlobs(kSession, record.data());
    FRecords.Records.push_back(record);
  }
  Commit();
  FPages.Removed.clear();
  FManager->EmptyBlobs(kSession);
  std::vector<std::int32_t> removed = FPages.Removed;
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(std::adjacent_find(removed.begin(), removed.end()), removed.end());
  Commit();
  EXPECT_EQ(FPages.UsedPageCount(), FBaselineUsed);
  std::int32_t anyPage;
  EXPECT_FALSE(FManager->BlobPageIndex().FirstPage(kSession, anyPage));

  FRecords.Records.clear();
  const std::int32_t root = FManager->BlobPageIndex().RootPageNo();
  FPages.Removed.clear();
  FManager->DropBlobs(kSession);
  EXPECT_EQ(FPages.Removed, std::vector<std::int32_t>{root});
  EXPECT_EQ(FManager->BlobPageIndex().RootPageNo(), -1);
  Commit();

  // A table without BLOB fields has no BLOB storage to touch.
  TQELBaseFieldManager plainFields(nullptr);
  TQELFieldDefs plain;
  plain.Add("ID", aftInteger, 0);
  plainFields.SetFieldDefs(plain);
  TQELDiskBlobManager plainManager(FPages, FRecords, plainFields);
  plainManager.EmptyBlobs(kSession);
  plainManager.DropBlobs(kSession);
}

// References with the old large-value id 255 are read by what the page
// looks like, and new entries never get that id.
TEST_F(DiskBlobManagerTest, AmbiguousEntryID255ReadsEitherForm) {
  Bytes large = NewRecord(), shared = NewRecord();
  const Bytes largeValue = RandomBytes(5000, 13), sharedValue = RandomBytes(300, 14);
  SetValue(large, kData, largeValue, kNone);
  SetValue(shared, kData, sharedValue, kNone);
  FManager->PostBlobs(kSession, large.data());
  FManager->PostBlobs(kSession, shared.data());
  const std::int32_t sharedPage = Ref(shared, kData).PageNo;
  PatchPage(sharedPage, [](std::uint8_t* data, std::uint8_t*) { QELWriteLE<std::int16_t>(data + 2, 255); });
  Commit();
  for (Bytes* record : {&large, &shared}) {
    TQELBlobReference{Ref(*record, kData).PageNo, 255}.Store(Slot(*record, kData));
  }
  EXPECT_TRUE(GetValue(large, kData, kNone) == largeValue);
  EXPECT_TRUE(GetValue(shared, kData, kNone) == sharedValue);
  FManager->DeleteBlobs(kSession, large.data());
  FManager->DeleteBlobs(kSession, shared.data());
  Commit();
  EXPECT_EQ(FPages.UsedPageCount(), FBaselineUsed);
}

TEST(DiskBlobPageTest, NewEntryIDsSkip255AndFillGaps) {
  test::TMemoryPageManager pages(8192);
  {
    TQELPageGuard page(pages, pages.AddNewPage(0, ptTableBlob));
    TQELSmallBlobPage::Initialize(page.Get());
    for (int i = 0; i < 255; ++i) {
      TQELSmallBlobPage shared(page.Get());
      ASSERT_EQ(shared.AddEntry(0, 0, nullptr, 0), i);
    }
    TQELSmallBlobPage shared(page.Get());
    EXPECT_EQ(shared.AddEntry(0, 0, nullptr, 0), 256);
    EXPECT_EQ(shared.AddEntry(0, 0, nullptr, 0), 257);
    TQELSmallBlobPage::TEntry entry;
    ASSERT_TRUE(shared.FindEntry(3, entry));
    shared.RemoveEntry(entry);
    EXPECT_EQ(shared.EntryCount(), 256);
    EXPECT_EQ(shared.AddEntry(0, 0, nullptr, 0), 258);  // from the count up: 256 and 257 are taken
  }
  pages.CancelChanges(0);
}

// Damage in a shared page raises; nothing reads past the data area.
TEST_F(DiskBlobManagerTest, DamagedSharedPageRaises) {
  struct Case {
    const char* Name;
    std::function<void(std::uint8_t*)> Damage;
  };
  const Case cases[] = {
      {"count past the page", [](std::uint8_t* d) { QELWriteLE<std::uint16_t>(d, 0xFFFF); }},
      {"size past the page", [](std::uint8_t* d) { QELWriteLE<std::int64_t>(d + 2 + 6, P); }},
      {"negative size", [](std::uint8_t* d) { QELWriteLE<std::int64_t>(d + 2 + 6, -5); }},
      {"huge size", [](std::uint8_t* d) { QELWriteLE<std::int64_t>(d + 2 + 6, INT64_MAX); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Bytes record = NewRecord();
    SetValue(record, kNote, RandomBytes(50, 15), kNone);
    FManager->PostBlob(kSession, record.data(), kNote);
    PatchPage(Ref(record, kNote).PageNo, [&](std::uint8_t* d, std::uint8_t*) { c.Damage(d); });
    Commit();
    Bytes reader = record;
    TQELMemoryStream stream;
    TQELBlobDescriptor descriptor;
    EXPECT_EQ(NativeErrorOf([&] { FManager->ReadBlobToStream(kSession, reader.data(), stream, descriptor, kNote); }),
              20162);
    EXPECT_EQ(NativeErrorOf([&] { FManager->DeleteBlob(kSession, reader.data(), kNote); }), 20162);
    // The page index still offers the page for a new value.
    Bytes writer = NewRecord();
    SetValue(writer, kNote, RandomBytes(10, 16), kNone);
    EXPECT_EQ(NativeErrorOf([&] { FManager->PostBlob(kSession, writer.data(), kNote); }), 20162);
    FManager->FreeBlobCache(writer.data(), kNote, true);
    FPages.CancelChanges(kSession);
    // Out of the way of the next case.
    FManager->BlobPageIndex().RemoveFromPage(kSession, 0, 0, Ref(record, kNote).PageNo);
    Commit();
  }
}

// Damage in a large value raises before any page is freed.
TEST_F(DiskBlobManagerTest, DamagedLargeValueRaisesAndFreesNothing) {
  using TPages = std::vector<std::int32_t>;
  struct Case {
    const char* Name;
    std::size_t Page;  // which of the value's three pages is damaged
    std::function<void(std::uint8_t* data, std::uint8_t* header, const TPages& pages)> Damage;
  };
  const Case cases[] = {
      {"page count", 0, [](std::uint8_t* d, std::uint8_t*, const TPages&) { QELWriteLE<std::int32_t>(d + 28, 1000); }},
      {"huge size", 0,
       [](std::uint8_t* d, std::uint8_t*, const TPages&) { QELWriteLE<std::int64_t>(d + 6, INT64_MAX / 2); }},
      {"size and count the file cannot hold", 0,
       [](std::uint8_t* d, std::uint8_t*, const TPages&) {
         const std::int64_t size = 2000000000000, total = size + 32, count = (total + P - 1) / P;
         QELWriteLE<std::int64_t>(d + 6, size);
         QELWriteLE<std::int32_t>(d + 28, static_cast<std::int32_t>(count));
         QELWriteLE<std::uint16_t>(d + 26, static_cast<std::uint16_t>(total - (count - 1) * P));
       }},
      {"list offset", 0, [](std::uint8_t* d, std::uint8_t*, const TPages&) { QELWriteLE<std::uint16_t>(d + 26, 3); }},
      {"list page", 0, [](std::uint8_t* d, std::uint8_t*, const TPages&) { QELWriteLE<std::int32_t>(d + 22, 0); }},
      {"list link cut", 1, [](std::uint8_t*, std::uint8_t* h, const TPages&) { page_header::SetNextPageNo(h, -1); }},
      // The list's second number sits at offset 2 of its own page.
      {"list names a page twice", 2,
       [](std::uint8_t* d, std::uint8_t*, const TPages& pages) { QELWriteLE<std::int32_t>(d + 2, pages[0]); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Bytes record = NewRecord();
    // Two data pages, the list split over the second one and a page of its
    // own: the second page's last two bytes and six bytes of the third.
    SetValue(record, kData, RandomBytes(2 * P - 34, 17), kNone);
    FPages.Allocated.clear();
    FManager->PostBlob(kSession, record.data(), kData);
    const std::vector<std::int32_t> pages = FPages.Allocated;
    ASSERT_EQ(pages.size(), 3u);
    PatchPage(pages[c.Page], [&](std::uint8_t* d, std::uint8_t* h) { c.Damage(d, h, pages); });
    Commit();
    FPages.Removed.clear();
    Bytes reader = record;
    TQELMemoryStream stream;
    TQELBlobDescriptor descriptor;
    EXPECT_EQ(NativeErrorOf([&] { FManager->ReadBlobToStream(kSession, reader.data(), stream, descriptor, kData); }),
              20162);
    EXPECT_EQ(NativeErrorOf([&] { FManager->DeleteBlob(kSession, reader.data(), kData); }), 20162);
    EXPECT_TRUE(FPages.Removed.empty());
    FPages.CancelChanges(kSession);
  }

  // A reference to a page of another kind: neither read nor freed (the
  // page cache refuses it when it reads the page, this manager when the
  // page was cached already).
  Bytes record = NewRecord();
  SetNull(false, kData, record.data());
  TQELBlobReference{FManager->BlobPageIndex().RootPageNo(), -1}.Store(Slot(record, kData));
  EXPECT_NE(NativeErrorOf([&] { FManager->LoadBlob(kSession, record.data(), kData); }), 0);
  EXPECT_NE(NativeErrorOf([&] { FManager->DeleteBlob(kSession, record.data(), kData); }), 0);
  EXPECT_TRUE(FPages.Removed.empty());
}

}  // namespace
}  // namespace qel
