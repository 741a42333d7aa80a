// Regression tests of the decoder faults found in review: packed streams that end just past a
// 16 KiB read piece, streams shorter than their folder, folders without a packed stream, hostile
// counts and headers, name matching, output paths and concurrent extractions. Table-driven: each
// case is one row.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "archive/archive_database.h"
#include "archive/archive_extractor.h"
#include "archive/folder_decoder.h"
#include "archive_builder.h"
#include "support/temp_dir.h"
#include "test_util.h"

using namespace sevenzip;
using namespace archivetest;
namespace fs = std::filesystem;

namespace {

constexpr size_t kPiece = 16384;  // the look buffer: packed data arrives in pieces of this size

std::pair<int, std::string> extractTo(const fs::path& archive, const fs::path& cache, const char* entry,
                                      const fs::path& out) {
  testing::internal::CaptureStdout();
  std::string outStr = out.string();
  int r = extractEntries(archive.c_str(), cache.c_str(), entry, entry ? outStr.c_str() : nullptr);
  return {r, testing::internal::GetCapturedStdout()};
}

// The database of an in-memory archive.
struct OpenedDb {
  Bytes bytes;
  MemInStream mem;
  LookAheadReader look;
  Archive db;
  ArchiveResult res;
  explicit OpenedDb(Bytes b) : bytes(std::move(b)), mem(bytes.data(), bytes.size()) {
    LookAheadReader_Bind(&look, &mem);
    Archive_Init(&db);
    res = Archive_Open(&db, &look, &kMainAllocator, &kTempAllocator);
  }
  ~OpenedDb() { Archive_Free(&db, &kMainAllocator); }
};

Bytes bsdtarArchive(const fs::path& dir, const Bytes& data, const std::string& method) {
  writeBytes(dir / "f.bin", data);
  fs::remove(dir / "a.7z");
  EXPECT_EQ(run("cd '" + dir.string() + "' && bsdtar --format 7zip --options 7zip:compression=" + method +
                " -cf a.7z f.bin"),
            0);
  return readBytes(dir / "a.7z");
}

// A raw LZMA stream without end marker and its 5 property bytes: the payload of the single LZMA
// chunk that xz writes for `data` (which must compress, and fit one chunk).
std::pair<Bytes, Bytes> lzmaWithoutMarker(const Bytes& data) {
  Bytes l2 = xzCompress(data, "--format=raw --lzma2=dict=1MiB");
  if (l2.size() < 6 || (l2[0] & 0xE0) != 0xE0) return {};
  size_t unpack = ((static_cast<size_t>(l2[0]) & 0x1F) << 16) + (static_cast<size_t>(l2[1]) << 8) + l2[2] + 1;
  size_t pack = (static_cast<size_t>(l2[3]) << 8) + l2[4] + 1;
  if (unpack != data.size() || l2.size() != 6 + pack + 1 || l2.back() != 0) return {};
  Bytes props = {l2[5], 0x00, 0x00, 0x10, 0x00};  // dictionary 1 MiB
  return {props, Bytes(l2.begin() + 6, l2.begin() + 6 + static_cast<long>(pack))};
}

// A raw LZMA stream with end marker and its properties: xz's .lzma format without its header.
std::pair<Bytes, Bytes> lzmaWithMarker(const Bytes& data) {
  Bytes alone = xzCompress(data, "--format=lzma --lzma1=preset=0,dict=1MiB");
  if (alone.size() < 13) return {};
  return {Bytes(alone.begin(), alone.begin() + 5), Bytes(alone.begin() + 13, alone.end())};
}

Bytes oneFolderArchive(const Bytes& methodId, const Bytes& props, const Bytes& packed, uint64_t unpackSize,
                       const std::string& name = "f", std::optional<uint32_t> crc = std::nullopt) {
  ArchiveLayout layout;
  FolderLayout f;
  f.coders = {CoderLayout{methodId, props, 1, 1}};
  f.unpackSizes = {unpackSize};
  f.streamSizes = {unpackSize};
  f.crc = crc;
  layout.packed = packed;
  layout.packSizes = {packed.size()};
  layout.folders = {f};
  layout.files = {FileLayout{name}};
  return makeArchive(layout.packed, writeHeader(layout));
}

const Bytes kLzma = {0x03, 0x01, 0x01};
const Bytes kLzma2 = {0x21};
const Bytes kCopy = {0x00};

// Random bytes from a 128-symbol alphabet: LZMA packs them to about 7/8 of their size, so the
// packed size steps by about one byte per input byte.
Bytes sevenBitData(size_t size, uint32_t seed) {
  Bytes b = randomData(size, seed);
  for (auto& x : b) x &= 0x7F;
  return b;
}

}  // namespace

// A stream whose output is full while its last packed bytes (the LZMA2 end byte, the end
// of an LZMA end marker) are still in the next 16 KiB piece is valid.
TEST(ArchiveFaults, PackedSizesAroundEvery16KiBBoundaryExtract) {
  testsupport::TempDir dir;
  struct Method {
    const char* name;
    const char* entry;
    // Makes an archive of `data`; returns it (empty to skip this size).
    std::function<Bytes(const Bytes&)> make;
    std::function<Bytes(size_t)> data;
  };
  const Method methods[] = {
      {"bsdtar lzma2", "f.bin", [&](const Bytes& d) { return bsdtarArchive(dir.path(), d, "lzma2"); },
       [](size_t n) { return randomData(n, 11); }},
      {"bsdtar lzma1 (end marker)", "f.bin", [&](const Bytes& d) { return bsdtarArchive(dir.path(), d, "lzma1"); },
       [](size_t n) { return randomData(n, 12); }},
      {"lzma1 without end marker", "f",
       [](const Bytes& d) {
         auto [props, packed] = lzmaWithoutMarker(d);
         return packed.empty() ? Bytes() : oneFolderArchive(kLzma, props, packed, d.size());
       },
       [](size_t n) { return sevenBitData(n, 14); }},
  };
  for (const Method& m : methods) {
    SCOPED_TRACE(m.name);
    for (size_t boundary : {kPiece, 2 * kPiece}) {
      // Packed size minus input size near the boundary, then a scan of input sizes around it.
      auto packedSize = [&](size_t n, Bytes* archive) {
        *archive = m.make(m.data(n));
        if (archive->empty()) return int64_t{-1};
        OpenedDb o(*archive);
        EXPECT_EQ(o.res, ResOk);
        return o.res == ResOk && o.db.core.numPackStreams >= 1 ? static_cast<int64_t>(o.db.core.packSizes[0])
                                                                : int64_t{-1};
      };
      Bytes archive;
      double ratio = static_cast<double>(packedSize(boundary, &archive)) / static_cast<double>(boundary);
      ASSERT_GT(ratio, 0.5);
      size_t guess = static_cast<size_t>(static_cast<double>(boundary) / ratio);
      double miss = static_cast<double>(packedSize(guess, &archive) - static_cast<int64_t>(boundary));
      std::set<int64_t> covered;
      size_t center = static_cast<size_t>(static_cast<double>(guess) - miss / ratio);
      size_t span = static_cast<size_t>(8 / ratio) + 2;
      for (size_t n = center - span; n <= center + span; n++) {
        int64_t packed = packedSize(n, &archive);
        int64_t off = packed - static_cast<int64_t>(boundary);
        if (packed < 0 || off < -8 || off > 8 || !covered.insert(off).second) continue;
        SCOPED_TRACE("input " + std::to_string(n) + ", packed " + std::to_string(packed));
        writeBytes(dir / "t.7z", archive);
        fs::remove(dir / "out");
        auto [r, printed] = extractTo(dir / "t.7z", dir / "t.cache", m.entry, dir / "out");
        EXPECT_EQ(r, 0) << printed;
        EXPECT_TRUE(readBytes(dir / "out") == m.data(n));
      }
      EXPECT_GE(covered.size(), 12u) << "packed sizes within 8 bytes of " << boundary;
    }
  }
}

// Success needs the folder's whole declared size; a shorter stream is a data error, and
// nothing is written.
TEST(ArchiveFaults, StreamsShorterThanTheirFolderFail) {
  testsupport::TempDir dir;
  Bytes data = sevenBitData(5000, 21);
  auto [markerProps, withMarker] = lzmaWithMarker(data);
  auto [plainProps, withoutMarker] = lzmaWithoutMarker(data);
  Bytes lzma2 = xzCompress(data, "--format=raw --lzma2=dict=1MiB");
  ASSERT_FALSE(withoutMarker.empty());
  struct Case {
    const char* name;
    Bytes archive;
    const char* printed;
  };
  const Case cases[] = {
      {"copy", oneFolderArchive(kCopy, {}, data, data.size() + 1), "\nERROR #1\n"},
      {"lzma with end marker", oneFolderArchive(kLzma, markerProps, withMarker, data.size() + 1), "\nERROR #1\n"},
      {"lzma without end marker", oneFolderArchive(kLzma, plainProps, withoutMarker, data.size() + 1),
       "\nERROR #1\n"},
      {"lzma2", oneFolderArchive(kLzma2, {16}, lzma2, data.size() + 1), "\nERROR #1\n"},
      {"lzma2 end byte only, 2 MiB declared (cache file)", oneFolderArchive(kLzma2, {16}, {0x00}, 2u << 20),
       "\nERROR #1\n"},
      {"lzma2 end byte only, 1000 bytes declared", oneFolderArchive(kLzma2, {16}, {0x00}, 1000), "\nERROR #1\n"},
      // Disk blocks are reserved as output is decoded: a 4 GiB claim costs no 4 GiB of disk.
      {"lzma2 end byte only, 4 GiB declared", oneFolderArchive(kLzma2, {16}, {0x00}, 4ull << 30), "\nERROR #1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(dir / "s.7z", c.archive);
    fs::remove(dir / "out");
    auto [r, printed] = extractTo(dir / "s.7z", dir / "s.cache", "f", dir / "out");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(printed, c.printed);
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_FALSE(fs::exists(dir / "s.cache"));
  }

  // Two folders: the second one's stream is short, and its heap block is the first one's, freed.
  // Neither those stale bytes nor anything else may be written as the second file.
  ArchiveLayout layout;
  Bytes first = randomData(3000, 22);
  Bytes secondStream = xzCompress(Bytes(100, 'x'), "--format=raw --lzma2=dict=1MiB");
  FolderLayout f0, f1;
  f0.coders = {CoderLayout{kCopy, {}, 1, 1}};
  f0.unpackSizes = f0.streamSizes = {first.size()};
  f1.coders = {CoderLayout{kLzma2, {16}, 1, 1}};
  f1.unpackSizes = f1.streamSizes = {first.size()};
  layout.packed = first;
  layout.packed.insert(layout.packed.end(), secondStream.begin(), secondStream.end());
  layout.packSizes = {first.size(), secondStream.size()};
  layout.folders = {f0, f1};
  layout.files = {FileLayout{"one"}, FileLayout{"two"}};
  writeBytes(dir / "two.7z", makeArchive(layout.packed, writeHeader(layout)));
  fs::create_directories(dir / "flat");
  fs::path old = fs::current_path();
  fs::current_path(dir / "flat");
  auto [r, printed] = extractTo(dir / "two.7z", dir / "s.cache", nullptr, {});
  fs::current_path(old);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(printed, "\nERROR #1\n");
  EXPECT_TRUE(readBytes(dir / "flat" / "one") == first);
  EXPECT_FALSE(fs::exists(dir / "flat" / "two"));
}

// A coder with no input stream leaves its folder without a packed stream; such a folder
// is a malformed header (16), not a crash at extraction.
TEST(ArchiveFaults, FolderWithoutPackedStreamIsRejectedWhenOpening) {
  auto layoutWith = [](bool secondFolder) {
    ArchiveLayout layout;
    FolderLayout none;
    none.coders = {CoderLayout{kCopy, {}, 0, 1}};
    none.unpackSizes = none.streamSizes = {5};
    if (secondFolder) {
      FolderLayout copy;
      copy.coders = {CoderLayout{kCopy, {}, 1, 1}};
      copy.unpackSizes = copy.streamSizes = {3};
      layout.packed = toBytes("abc");
      layout.packSizes = {3};
      layout.folders = {copy, none};
      layout.files = {FileLayout{"a"}, FileLayout{"b"}};
    } else {
      layout.folders = {none};
      layout.files = {FileLayout{"b"}};
    }
    return makeArchive(layout.packed, writeHeader(layout));
  };
  testsupport::TempDir dir;
  for (bool second : {false, true}) {
    SCOPED_TRACE(second ? "second folder" : "only folder");
    Bytes archive = layoutWith(second);
    EXPECT_EQ(OpenedDb(archive).res, ResArchiveError);
    writeBytes(dir / "n.7z", archive);
    EXPECT_EQ(extractTo(dir / "n.7z", dir / "n.cache", "b", dir / "out"), std::make_pair(1, std::string()));
  }
}

namespace {

// Counts the bytes allocated through it and their peak.
struct CountingAllocator {
  Allocator iface{alloc, release};
  size_t current = 0;
  size_t peak = 0;
  static constexpr size_t kPrefix = 16;
  static void* alloc(const Allocator* self, size_t size) {
    auto* c = const_cast<CountingAllocator*>(reinterpret_cast<const CountingAllocator*>(self));
    if (size == 0) return nullptr;
    auto* p = static_cast<uint8_t*>(std::malloc(size + kPrefix));
    if (p == nullptr) return nullptr;
    std::memcpy(p, &size, sizeof(size));
    c->current += size;
    c->peak = std::max(c->peak, c->current);
    return p + kPrefix;
  }
  static void release(const Allocator* self, void* address) {
    if (address == nullptr) return;
    auto* c = const_cast<CountingAllocator*>(reinterpret_cast<const CountingAllocator*>(self));
    uint8_t* p = static_cast<uint8_t*>(address) - kPrefix;
    size_t size;
    std::memcpy(&size, p, sizeof(size));
    c->current -= size;
    std::free(p);
  }
};

// Opens `archive` with one counting allocator on both sides; returns the result and the peak.
std::pair<ArchiveResult, size_t> openCounting(const Bytes& archive) {
  CountingAllocator counter;
  MemInStream mem(archive.data(), archive.size());
  LookAheadReader look;
  LookAheadReader_Bind(&look, &mem);
  Archive db;
  Archive_Init(&db);
  ArchiveResult res = Archive_Open(&db, &look, &counter.iface, &counter.iface);
  Archive_Free(&db, &counter.iface);
  EXPECT_EQ(counter.current, 0u);
  return {res, counter.peak};
}

const fs::path kDataDir = ARCHIVE_TEST_DATA_DIR;

}  // namespace

// Counts are bounded by what the header bytes can hold and the database's records by the header's
// size: tiny archives that claimed millions of records made the decoder allocate gigabytes.
TEST(ArchiveFaults, HostileCountsStayWithinTheMemoryBound) {
  constexpr size_t MiB = 1 << 20;
  struct Case {
    const char* name;
    Bytes archive;
    ArchiveResult res;
    size_t maxPeak;
  };
  // Directories without names cost one bit of header each: 64,000 of them in 8 KB of header need
  // more record memory than the header's size allows (named entries need several bytes each).
  auto directories = [](uint32_t count) {
    HeaderWriter w;
    w.byte(0x01).byte(0x05).number(count).byte(0x0E).number((count + 7) / 8);
    for (uint32_t i = 0; i < (count + 7) / 8; i++) w.byte(0xFF);
    w.byte(0x00).byte(0x00);
    return makeArchive({}, w.bytes());
  };
  const Case cases[] = {
      {"bad-no-pack-stream.7z", readBytes(kDataDir / "bad-no-pack-stream.7z"), ResArchiveError, MiB},
      {"bad-no-pack-stream-second-folder.7z", readBytes(kDataDir / "bad-no-pack-stream-second-folder.7z"),
       ResArchiveError, MiB},
      // 4 MiB of decoded header claiming 1.4 million folders, the first one already invalid.
      {"bad-huge-count.7z", readBytes(kDataDir / "bad-huge-count.7z"), ResUnsupported, 5 * MiB},
      // 64 MiB of decoded header claiming 8 files per byte.
      {"bad-huge-header.7z", readBytes(kDataDir / "bad-huge-header.7z"), ResOutOfMemory, 66 * MiB},
      {"64000 unnamed directories", directories(64000), ResOutOfMemory, MiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.archive.empty());
    auto [res, peak] = openCounting(c.archive);
    EXPECT_EQ(res, c.res);
    EXPECT_LE(peak, c.maxPeak);
  }
  // A real archive of many small files is well within the bound.
  std::vector<std::pair<std::string, Bytes>> many;
  for (int i = 0; i < 20000; i++) many.push_back({"Addon/Locale/file" + std::to_string(i) + ".lua", toBytes("x")});
  EXPECT_EQ(openCounting(copyArchive(many)).first, ResOk);
}

// Extractions in several threads at once, even when they are handed the same cache path, each keep
// their own cache file: a shared file was truncated under another extraction's mapping (SIGBUS),
// and the temporary names came from an unlocked shared generator.
TEST(ArchiveFaults, ConcurrentExtractionsKeepTheirOwnFiles) {
  testsupport::TempDir dir;
  const Bytes a = mixedData(1300000, 31);  // both folders are large enough for the cache file
  const Bytes b = textData(1100000, 32);
  writeBytes(dir / "a.7z", copyArchive({{"a", a}}));
  writeBytes(dir / "b.7z", lzma2Archive({{"b", b}}));
  const fs::path cache = dir / "same.cache";
  struct Job {
    const char* archive;
    const char* entry;
    const Bytes* expected;
  };
  const Job jobs[] = {{"a.7z", "a", &a}, {"b.7z", "b", &b}, {"a.7z", "a", &a}};
  for (int round = 0; round < 3; round++) {
    std::vector<std::thread> threads;
    std::vector<int> results(std::size(jobs), -1);
    for (size_t i = 0; i < std::size(jobs); i++) {
      threads.emplace_back([&, i] {
        fs::path out = dir / ("out" + std::to_string(i));
        results[i] = extractEntries((dir / jobs[i].archive).c_str(), cache.c_str(), jobs[i].entry, out.c_str());
      });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < std::size(jobs); i++) {
      SCOPED_TRACE("round " + std::to_string(round) + ", job " + std::to_string(i));
      EXPECT_EQ(results[i], 0);
      EXPECT_TRUE(readBytes(dir / ("out" + std::to_string(i))) == *jobs[i].expected);
    }
  }
  // Nothing is left behind: no cache file, no temporary output.
  std::set<std::string> left;
  for (auto& e : fs::directory_iterator(dir.path())) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"a.7z", "b.7z", "out0", "out1", "out2"}));

  // Cache paths are distinct across threads and calls.
  std::vector<std::vector<std::string>> paths(4);
  std::vector<std::thread> threads;
  for (auto& list : paths)
    threads.emplace_back([&list] {
      for (int i = 0; i < 200; i++) list.push_back(ArchiveExtractor::generateUniqueTmpCachePath());
    });
  for (auto& t : threads) t.join();
  std::set<std::string> distinct;
  for (auto& list : paths) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), 800u);
}

// Each file's place in its folder is computed once when the archive is read (it was summed anew
// for every file: quadratic in the files of a folder); files after empty entries, zero-sized
// streams and a folder change land where they belong.
TEST(ArchiveFaults, FileOffsetsInsideFolders) {
  ArchiveLayout layout;
  FolderLayout f0, f1;
  f0.coders = f1.coders = {CoderLayout{kCopy, {}, 1, 1}};
  f0.unpackSizes = {5};
  f0.streamSizes = {2, 0, 3};
  f1.unpackSizes = {4};
  f1.streamSizes = {1, 3};
  layout.packed = toBytes("abcdeWXYZ");
  layout.packSizes = {5, 4};
  layout.folders = {f0, f1};
  FileLayout dir{"d", false, false}, empty{"e", false, true};
  layout.files = {dir, FileLayout{"x"}, empty, FileLayout{"zero"}, FileLayout{"y"}, FileLayout{"z"}, dir,
                  FileLayout{"w"}};
  const char* expected[] = {"", "ab", "", "", "cde", "W", "", "XYZ"};
  OpenedDb o(makeArchive(layout.packed, writeHeader(layout)));
  ASSERT_EQ(o.res, ResOk);
  FolderCache cache;
  FolderCache_Init(&cache, &kMainAllocator);
  for (uint32_t i = 0; i < std::size(expected); i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(Archive_Extract(&o.db, &o.look, i, &cache, &kMainAllocator, &kTempAllocator), ResOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cache.outBuffer) + cache.entryOffset, cache.entrySize),
              expected[i]);
  }
  FolderCache_Free(&cache);

  // Many one-byte files of one folder, each at its own offset.
  std::vector<std::pair<std::string, Bytes>> files;
  for (int i = 0; i < 30000; i++) files.push_back({std::to_string(i), Bytes{static_cast<uint8_t>(i * 7)}});
  OpenedDb many(copyArchive(files));
  ASSERT_EQ(many.res, ResOk);
  FolderCache_Init(&cache, &kMainAllocator);
  int wrong = 0;
  for (uint32_t i = 0; i < files.size(); i++) {
    if (Archive_Extract(&many.db, &many.look, i, &cache, &kMainAllocator, &kTempAllocator) != ResOk ||
        cache.entryOffset != i || cache.outBuffer[cache.entryOffset] != files[i].second[0])
      wrong++;
  }
  EXPECT_EQ(wrong, 0);
  FolderCache_Free(&cache);
}

// An entry whose stored name is not valid UTF-16 matches no requested name: it used to match every
// one, so a request for any name wrote that entry's bytes and reported success.
TEST(ArchiveFaults, UnconvertibleNameMatchesNothing) {
  testsupport::TempDir dir;
  Bytes archive = copyArchive({{"Q", toBytes("bad name")}, {"Good", toBytes("good")}});
  const Bytes name = {'Q', 0, 0, 0};
  auto at = std::search(archive.begin(), archive.end(), name.begin(), name.end());
  ASSERT_NE(at, archive.end());
  at[0] = 0x00, at[1] = 0xDC;  // a lone low surrogate
  writeBytes(dir / "n.7z", archive);
  struct Case {
    const char* entry;
    int result;
    const char* content;  // null: no output
  };
  const Case cases[] = {{"Anything", 1, nullptr}, {"Q", 1, nullptr}, {"", 1, nullptr}, {"Good", 0, "good"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    fs::remove(dir / "out");
    EXPECT_EQ(extractTo(dir / "n.7z", dir / "n.cache", c.entry, dir / "out"), std::make_pair(c.result, std::string()));
    EXPECT_EQ(fs::exists(dir / "out"), c.content != nullptr);
    if (c.content) {
      EXPECT_EQ(testsupport::readFile(dir / "out"), c.content);
    }
  }
}

// Large folders go to the cache file, whose disk blocks are reserved step by step as output is
// decoded: every method decodes across the steps, and a fresh mapping holds no blocks yet.
TEST(ArchiveFaults, CacheFileBlocksAreReservedAsOutputGrows) {
  testsupport::TempDir dir;
  Bytes unit = textData(65536, 41);
  Bytes data;
  while (data.size() < kReserveStep + 100000) data.insert(data.end(), unit.begin(), unit.end());
  auto [props, withMarker] = lzmaWithMarker(data);
  struct Case {
    const char* name;
    Bytes archive;
  };
  const Case cases[] = {
      {"copy", oneFolderArchive(kCopy, {}, data, data.size())},
      {"lzma", oneFolderArchive(kLzma, props, withMarker, data.size())},
      {"lzma2", oneFolderArchive(kLzma2, {20}, xzCompress(data, "--format=raw --lzma2=preset=0,dict=1MiB"), data.size())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(dir / "big.7z", c.archive);
    fs::remove(dir / "out");
    EXPECT_EQ(extractTo(dir / "big.7z", dir / "big.cache", "f", dir / "out"), std::make_pair(0, std::string()));
    EXPECT_TRUE(readBytes(dir / "out") == data);
    EXPECT_FALSE(fs::exists(dir / "big.cache"));
  }

  FolderCache cache;
  FolderCache_Init(&cache, &kMainAllocator);
  std::string name = (dir / "r.cache").string();
  cache.mapFilename = name.c_str();
  cache.outBufferSize = 64u << 20;
  ASSERT_TRUE(FolderCache_Map(&cache));
  auto blocks = [&] {
    struct stat st;
    EXPECT_EQ(stat(name.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
  };
  EXPECT_EQ(fs::file_size(name), 64u << 20);
  EXPECT_LT(blocks(), 1u << 20);
  EXPECT_TRUE(FolderCache_Reserve(&cache, 10u << 20));
  EXPECT_GE(blocks(), 10u << 20);
  EXPECT_LT(blocks(), 12u << 20);
  FolderCache_Free(&cache);
  EXPECT_FALSE(fs::exists(name));
}

// Output paths: a folder at the output path is an open failure and stays as it was; an output
// name as long as the file system allows works (the file being written has a short name of its own).
TEST(ArchiveFaults, OutputPathsAtTheirLimits) {
  testsupport::TempDir dir;
  writeBytes(dir / "a.7z", copyArchive({{"Foo", toBytes("foo data")}}));
  fs::create_directories(dir / "folder" / "inside");
  struct Case {
    const char* name;
    fs::path out;
    int result;
    std::string printed;
  };
  const Case cases[] = {
      {"folder at the output path", dir / "folder", 1, "\nERROR: can not open output file\n\nERROR #11\n"},
      {"name of 255 bytes", dir / std::string(255, 'n'), 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(extractTo(dir / "a.7z", dir / "a.cache", "Foo", c.out), std::make_pair(c.result, c.printed));
    if (c.result == 0) {
      EXPECT_EQ(testsupport::readFile(c.out), "foo data");
    }
  }
  EXPECT_TRUE(fs::is_directory(dir / "folder" / "inside"));
  for (auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
}

// The work folder of a whole-archive extraction is never followed through a symbolic link: the
// link is replaced by a folder, and what its target holds stays.
TEST(ArchiveFaults, WorkFolderLinkIsNotFollowed) {
  testsupport::TempDir dir;
  writeBytes(dir / "a.7z", copyArchive({{"one", toBytes("1")}}));
  fs::create_directories(dir / "target");
  testsupport::writeFile(dir / "target" / "keep", "precious");
  std::string name = "archive-link-test-" + std::to_string(getpid());
  fs::path work = fs::temp_directory_path() / name;
  fs::remove_all(work);
  fs::create_directory_symlink(dir / "target", work);
  fs::path old = fs::current_path();
  std::vector<std::string> paths = ArchiveExtractor::extract7zArchive((dir / "a.7z").string(), name);
  fs::current_path(old);
  EXPECT_EQ(paths.size(), 1u);
  EXPECT_FALSE(fs::is_symlink(work));
  EXPECT_EQ(testsupport::readFile(work / "one"), "1");
  EXPECT_EQ(testsupport::readFile(dir / "target" / "keep"), "precious");
  EXPECT_FALSE(fs::exists(dir / "target" / "one"));
  fs::remove_all(work);
}

// A folder CRC (written by hand: bsdtar writes per-file CRCs only) is checked over the decoded
// folder; a mismatch is a data error and writes nothing. External data is unsupported wherever
// its flag may stand.
TEST(ArchiveFaults, FolderCrcAndExternalData) {
  testsupport::TempDir dir;
  Bytes data = textData(20000, 51);
  Bytes lzma2 = xzCompress(data, "--format=raw --lzma2=dict=1MiB");
  struct Case {
    const char* name;
    Bytes archive;
    int result;
    std::string printed;
  };
  const Case cases[] = {
      {"lzma2, right folder CRC", oneFolderArchive(kLzma2, {16}, lzma2, data.size(), "f", crcOf(data)), 0, ""},
      {"lzma2, wrong folder CRC", oneFolderArchive(kLzma2, {16}, lzma2, data.size(), "f", crcOf(data) ^ 1), 1,
       "\nERROR #1\n"},
      {"copy, wrong folder CRC", oneFolderArchive(kCopy, {}, data, data.size(), "f", crcOf(data) ^ 0x100), 1,
       "\nERROR #1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(dir / "c.7z", c.archive);
    fs::remove(dir / "out");
    EXPECT_EQ(extractTo(dir / "c.7z", dir / "c.cache", "f", dir / "out"), std::make_pair(c.result, c.printed));
    EXPECT_EQ(fs::exists(dir / "out"), c.result == 0);
  }
  auto h = [] { return HeaderWriter(); };
  struct External {
    const char* name;
    Bytes header;
  };
  const External external[] = {
      {"folders", h().byte(1).byte(4).byte(7).byte(0x0B).number(1).byte(1).byte(0).byte(0).byte(0).bytes()},
      {"modification times",
       h().byte(1).byte(5).number(1).byte(0x0E).number(1).byte(0x80).byte(0x14).number(2).byte(1).byte(1).byte(0).byte(0).bytes()},
      {"attributes",
       h().byte(1).byte(5).number(1).byte(0x0E).number(1).byte(0x80).byte(0x15).number(2).byte(1).byte(1).byte(0).byte(0).bytes()},
  };
  for (const External& e : external) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(OpenedDb(makeArchive({}, e.header)).res, ResUnsupported);
  }
}
