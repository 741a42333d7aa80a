// Tests of the decoder's plumbing: byte buffers, the stdio file layer, the look-ahead reader over
// file and memory streams (including failing sources), and UTF-16 name conversion.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/allocator.h"
#include "archive/file.h"
#include "archive/look_ahead_reader.h"
#include "archive/utf16.h"
#include "support/temp_dir.h"
#include "test_util.h"

using namespace sevenzip;
using namespace archivetest;

TEST(ByteBuffer, CreateEnsureAndFree) {
  ByteBuffer b;
  ASSERT_EQ(ByteBuffer_Create(&b, 0, &kMainAllocator), 1);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.size, 0u);
  ASSERT_EQ(ByteBuffer_Create(&b, 4, &kMainAllocator), 1);
  std::memcpy(b.data, "abcd", 4);
  EXPECT_EQ(ByteBuffer_EnsureSize(&b, 3), 1);
  EXPECT_EQ(std::memcmp(b.data, "abcd", 4), 0);  // big enough: untouched
  EXPECT_EQ(ByteBuffer_EnsureSize(&b, 100), 1);
  EXPECT_EQ(b.size, 100u);
  ByteBuffer_Free(&b, &gDefaultAllocator);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.size, 0u);
}

TEST(File, ReadWriteSeek) {
  testsupport::TempDir dir;
  std::string path = (dir / "f").string();
  File f;
  ASSERT_EQ(File_OpenForWrite(&f, path.c_str()), 0);
  size_t n = 5;
  ASSERT_EQ(File_Write(&f, "hello", &n), 0);
  EXPECT_EQ(n, 5u);
  int64_t pos = 1;
  EXPECT_EQ(File_Seek(&f, &pos, 3), 1);  // unknown origin
  pos = 1;
  ASSERT_EQ(File_Seek(&f, &pos, kSeekSet), 0);
  EXPECT_EQ(pos, 1);
  char buf[16] = {};
  n = 0;
  EXPECT_EQ(File_Read(&f, buf, &n), 0);
  n = sizeof(buf);
  EXPECT_EQ(File_Read(&f, buf, &n), 0);  // short read at the end is not an error
  EXPECT_EQ(n, 4u);
  EXPECT_STREQ(buf, "ello");
  pos = 0;
  ASSERT_EQ(File_Seek(&f, &pos, kSeekEnd), 0);
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(File_Close(&f), 0);
  EXPECT_EQ(f.file, nullptr);
  EXPECT_EQ(File_Close(&f), 0);
  EXPECT_NE(File_OpenForRead(&f, (dir / "missing").string().c_str()), 0);
}

namespace {

// A source that counts reads and can fail the n-th one.
class CountingStream : public SeekableInStream {
 public:
  CountingStream(const Bytes& data, int failAt = -1) : mem_(data.data(), data.size()), failAt_(failAt) {}
  ArchiveResult Read(void* data, size_t* size) override {
    if (reads++ == failAt_) {
      *size = 0;
      return ResReadError;
    }
    return mem_.Read(data, size);
  }
  ArchiveResult Seek(int64_t* pos, int origin) override { return mem_.Seek(pos, origin); }
  int reads = 0;

 private:
  MemInStream mem_;
  int failAt_;
};

}  // namespace

TEST(LookAheadReader, LookSkipReadSeek) {
  Bytes data = randomData(40000);
  CountingStream src(data);
  auto reader = std::make_unique<LookAheadReader>();
  LookAheadReader_Bind(reader.get(), &src);
  const void* p;
  size_t n = 0;
  ASSERT_EQ(reader->Look(&p, &n), ResOk);  // size 0 on an empty buffer: no read
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(src.reads, 0);
  n = 1 << 20;
  ASSERT_EQ(reader->Look(&p, &n), ResOk);
  EXPECT_EQ(n, kLookBufferSize);  // cut to the buffer
  EXPECT_EQ(std::memcmp(p, data.data(), n), 0);
  ASSERT_EQ(reader->Skip(100), ResOk);
  n = 10;
  ASSERT_EQ(reader->Look(&p, &n), ResOk);  // served from the buffer
  EXPECT_EQ(src.reads, 1);
  EXPECT_EQ(std::memcmp(p, data.data() + 100, 10), 0);
  uint8_t buf[50];
  n = sizeof(buf);
  ASSERT_EQ(reader->Read(buf, &n), ResOk);
  EXPECT_EQ(std::memcmp(buf, data.data() + 100, 50), 0);
  ASSERT_EQ(LookAheadStream_SeekTo(reader.get(), 150), ResOk);
  n = 10;
  ASSERT_EQ(reader->Look(&p, &n), ResOk);  // after a seek the source is read again
  EXPECT_EQ(src.reads, 2);
  EXPECT_EQ(std::memcmp(p, data.data() + 150, 10), 0);
  Bytes all(data.size() - 150);
  ASSERT_EQ(LookAheadStream_Read(reader.get(), all.data(), all.size()), ResOk);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), data.begin() + 150));
  EXPECT_EQ(LookAheadStream_Read(reader.get(), buf, 1), ResInputEof);
  EXPECT_EQ(LookAheadStream_ReadExact(reader.get(), buf, 1, ResNoArchive), ResNoArchive);
}

TEST(LookAheadReader, SourceErrorsPassUp) {
  Bytes data = randomData(100);
  for (int failAt = 0; failAt < 3; failAt++) {
    CountingStream src(data, failAt);
    auto reader = std::make_unique<LookAheadReader>();
    LookAheadReader_Bind(reader.get(), &src);
    Bytes out(100);
    ArchiveResult res = ResOk;
    for (int i = 0; i < 4 && res == ResOk; i++) {
      ASSERT_EQ(LookAheadStream_SeekTo(reader.get(), 0), ResOk);
      res = LookAheadStream_Read(reader.get(), out.data(), out.size());
    }
    EXPECT_EQ(res, ResReadError);
  }
}

TEST(MemInStream, SeekOutsideFails) {
  Bytes data(10);
  MemInStream m(data.data(), data.size());
  int64_t pos = 11;
  EXPECT_NE(m.Seek(&pos, kSeekSet), ResOk);
  pos = -1;
  EXPECT_NE(m.Seek(&pos, kSeekSet), ResOk);
  pos = -3;
  ASSERT_EQ(m.Seek(&pos, kSeekEnd), ResOk);
  EXPECT_EQ(pos, 7);
}

TEST(Utf16, Conversions) {
  struct Case {
    std::vector<uint16_t> in;
    std::string out;
    bool ok;
  };
  const Case cases[] = {
      {{'A'}, "A", true},
      {{0xE9}, "\xC3\xA9", true},
      {{0x20AC}, "\xE2\x82\xAC", true},
      {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", true},
      {{'a', 0xDC00, 'b'}, "a", false},  // lone low surrogate
      {{'a', 0xD800}, "a", false},       // high surrogate as the last unit
      {{0xD800, 'x'}, "", false},        // high surrogate followed by something else
  };
  for (const Case& c : cases) {
    ByteBuffer buf;
    ArchiveResult res = Utf16ToUtf8Buffer(&buf, c.in.data(), c.in.size());
    EXPECT_EQ(res, c.ok ? ResOk : ResFail);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data)), c.out);
    ByteBuffer_Free(&buf, &gDefaultAllocator);
  }
  const uint16_t name[] = {'d', '/', 0x4E2D, 0, 'x'};
  ByteBuffer buf;
  ASSERT_EQ(Utf16ToUtf8Name(&buf, name), ResOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data)), "d/\xE4\xB8\xAD");
  ByteBuffer_Free(&buf, &gDefaultAllocator);
}
