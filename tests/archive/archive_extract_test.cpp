// Tests of archive opening, folder decoding and the extraction front end, on archives made at
// test time by bsdtar and on hand-built archives for the shapes and faults bsdtar never makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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

// Runs extractEntries, returning its result and what it printed.
std::pair<int, std::string> extract(const fs::path& archive, const fs::path& cache, const char* entry,
                                    const fs::path& out) {
  testing::internal::CaptureStdout();
  std::string outStr = out.string();
  int r = extractEntries(archive.c_str(), cache.c_str(), entry, entry ? outStr.c_str() : nullptr);
  return {r, testing::internal::GetCapturedStdout()};
}

// Runs `body` with the current directory set to `dir`.
template <typename F>
void inDir(const fs::path& dir, F body) {
  fs::path old = fs::current_path();
  fs::current_path(dir);
  body();
  fs::current_path(old);
}

struct Tree {
  std::vector<std::pair<std::string, Bytes>> files;  // relative path, content
  std::vector<std::string> dirs;
};

Tree sampleTree() {
  Tree t;
  t.files = {{"Core.lua", textData(30000, 1)},
             {"Frames.xml", textData(5000, 2)},
             {"empty.txt", {}},
             {"Libs/Lib/lib.lua", textData(70000, 3)},
             {"Media/tex.tga", mixedData(150000, 4)},
             {"Locales/\xE4\xB8\xAD\xE6\x96\x87.lua", textData(2000, 5)},  // non-ASCII name
             {"deep/a/b/c/d/e.txt", toBytes("deep")}};
  t.dirs = {"emptydir", "deep/a/empty"};
  return t;
}

void writeTree(const fs::path& root, const Tree& t) {
  for (auto& [path, data] : t.files) {
    fs::create_directories((root / path).parent_path());
    writeBytes(root / path, data);
  }
  for (auto& d : t.dirs) fs::create_directories(root / d);
}

}  // namespace

TEST(ArchiveExtract, BsdtarArchivesExtractByteIdentical) {
  testsupport::TempDir dir;
  Tree tree = sampleTree();
  writeTree(dir / "src", tree);
  for (const char* method : {"lzma1", "lzma2", "store"}) {
    SCOPED_TRACE(method);
    fs::path archive = dir / (std::string(method) + ".7z");
    ASSERT_EQ(run("cd '" + (dir / "src").string() + "' && bsdtar --format 7zip --options 7zip:compression=" + method +
                  " -cf '" + archive.string() + "' *"),
              0);
    for (auto& [path, data] : tree.files) {
      SCOPED_TRACE(path);
      fs::path out = dir / "out.bin";
      fs::remove(out);
      EXPECT_TRUE(ArchiveExtractor::extractArchiveEntry(archive.string(), path, out.string()));
      EXPECT_TRUE(readBytes(out) == data);
      EXPECT_TRUE(fs::exists(out));
    }
    // All files, flat, into the current directory.
    fs::path flat = dir / (std::string("flat-") + method);
    fs::create_directories(flat);
    inDir(flat, [&] { EXPECT_EQ(extract(archive, dir / "c.cache", nullptr, {}).first, 0); });
    for (auto& [path, data] : tree.files) EXPECT_TRUE(readBytes(flat / fs::path(path).filename()) == data) << path;
    EXPECT_FALSE(fs::exists(flat / "emptydir"));  // no folder is ever created
  }
}

TEST(ArchiveExtract, LargeSolidFolderGoesThroughTheCacheFile) {
  testsupport::TempDir dir;
  Tree t;
  t.files = {{"a.bin", mixedData(1500000, 6)}, {"b.txt", textData(700000, 7)}};
  writeTree(dir / "src", t);
  fs::path archive = dir / "big.7z";
  ASSERT_EQ(run("cd '" + (dir / "src").string() + "' && bsdtar --format 7zip --options 7zip:compression=lzma2 -cf '" +
                archive.string() + "' a.bin b.txt"),
            0);
  fs::path cache = dir / "x.cache";
  auto [r, printed] = extract(archive, cache, "b.txt", dir / "b.out");
  EXPECT_EQ(r, 0) << printed;
  EXPECT_TRUE(readBytes(dir / "b.out") == t.files[1].second);
  EXPECT_FALSE(fs::exists(cache));  // deleted at the end
}

TEST(ArchiveExtract, FrontEndMessagesAndResults) {
  testsupport::TempDir dir;
  writeBytes(dir / "foo.7z", copyArchive({{"Foo", toBytes("foo data")}, {"sub/Foo", toBytes("nested")}}));
  fs::path cache = dir / "c.cache";
  struct Case {
    const char* name;
    fs::path archive;
    const char* entry;
    fs::path out;
    int result;
    std::string printed;
  };
  writeBytes(dir / "not.7z", toBytes("this is not an archive at all, just text of some length"));
  const Case cases[] = {
      {"found", dir / "foo.7z", "Foo", dir / "Foo", 0, ""},
      {"nested name", dir / "foo.7z", "sub/Foo", dir / "Foo2", 0, ""},
      {"missing entry", dir / "foo.7z", "Bar", dir / "Bar", 1, ""},
      {"not an archive", dir / "not.7z", "Foo", dir / "x", 1, ""},
      {"missing archive", dir / "none.7z", "Foo", dir / "x", 1, "\nERROR: can not open input file\n"},
      {"missing folder", dir / "foo.7z", "Foo", dir / "no" / "Foo", 1,
       "\nERROR: can not open output file\n\nERROR #11\n"},
      {"empty entry name", dir / "foo.7z", "", dir / "x", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [r, printed] = extract(c.archive, cache, c.entry, c.out);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(printed, c.printed);
  }
  EXPECT_EQ(testsupport::readFile(dir / "Foo"), "foo data");
  EXPECT_EQ(testsupport::readFile(dir / "Foo2"), "nested");
  EXPECT_FALSE(fs::exists(dir / "Bar"));
}

TEST(ArchiveExtract, ZeroLengthEntryAndEqualBaseNames) {
  testsupport::TempDir dir;
  writeBytes(dir / "a.7z", copyArchive({{"a/b.txt", toBytes("first")}, {"zero", {}}, {"c/b.txt", toBytes("second")}}));
  EXPECT_EQ(extract(dir / "a.7z", dir / "c.cache", "zero", dir / "zero.out").first, 0);
  EXPECT_TRUE(fs::exists(dir / "zero.out"));
  EXPECT_EQ(fs::file_size(dir / "zero.out"), 0u);
  fs::create_directories(dir / "flat");
  inDir(dir / "flat", [&] { EXPECT_EQ(extract(dir / "a.7z", dir / "c.cache", nullptr, {}).first, 0); });
  EXPECT_EQ(testsupport::readFile(dir / "flat" / "b.txt"), "second");
  EXPECT_EQ(fs::file_size(dir / "flat" / "zero"), 0u);
}

TEST(ArchiveExtractor, AWrittenEntryHandsBackTheCrcTheArchiveStoresForIt) {
  const Bytes first = toBytes("first"), second = toBytes("second, longer");
  struct Case {
    const char* what;
    Bytes archive;
    std::optional<uint32_t> crc;
  };
  const Case cases[] = {
      {"stored CRCs", copyArchive({{"x", first}, {"y", second}}), crcOf(first)},
      {"the name twice: the last entry's", copyArchive({{"x", first}, {"x", second}}), crcOf(second)},
      {"LZMA2", lzma2Archive({{"x", second}}), crcOf(second)},
      {"none stored", copyArchive({{"x", first}}, false), std::nullopt},
  };
  testsupport::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeBytes(dir / "a.7z", c.archive);
    std::optional<uint32_t> crc = 0xDEADBEEFu;
    ASSERT_TRUE(ArchiveExtractor::extractArchiveEntry((dir / "a.7z").string(), "x", (dir / "x").string(), &crc));
    EXPECT_EQ(crc, c.crc);
    if (c.crc) {
      EXPECT_EQ(crcOf(readBytes(dir / "x")), *c.crc);
    }
  }
}

TEST(ArchiveExtract, DamagedDataFailsAndKeepsThePreviousOutput) {
  testsupport::TempDir dir;
  Bytes content = textData(50000, 9);
  Bytes good = lzma2Archive({{"Addon.lua", content}});
  Bytes copy = copyArchive({{"Addon.lua", content}});
  fs::path out = dir / "Addon.lua";
  testsupport::writeFile(out, "previous version");
  // A flipped byte inside the packed data: corrupt LZMA2 or a CRC mismatch, never success.
  for (size_t at : {size_t{40}, good.size() / 2, good.size() - 200}) {
    Bytes bad = good;
    bad[at] ^= 0x10;
    writeBytes(dir / "bad.7z", bad);
    auto [r, printed] = extract(dir / "bad.7z", dir / "c.cache", "Addon.lua", out);
    EXPECT_EQ(r, 1) << at;
    EXPECT_EQ(testsupport::readFile(out), "previous version");
  }
  // Stored data with one changed byte decodes fine, only the CRC tells.
  Bytes bad = copy;
  bad[32 + 1000] ^= 0x01;
  writeBytes(dir / "bad.7z", bad);
  auto [r, printed] = extract(dir / "bad.7z", dir / "c.cache", "Addon.lua", out);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(printed, "\nERROR #1\n");
  EXPECT_EQ(testsupport::readFile(out), "previous version");
  // No temporary file is left beside the output.
  for (auto& e : fs::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
  writeBytes(dir / "good.7z", good);
  EXPECT_TRUE(ArchiveExtractor::extractArchiveEntry((dir / "good.7z").string(), "Addon.lua", out.string()));
  EXPECT_TRUE(readBytes(out) == content);
}

TEST(ArchiveExtract, TruncationAtEveryOffsetNeverSucceeds) {
  testsupport::TempDir dir;
  Bytes full = lzma2Archive({{"one", textData(3000, 1)}, {"two", textData(1000, 2)}});
  for (size_t cut = 0; cut < full.size(); cut++) {
    writeBytes(dir / "t.7z", Bytes(full.begin(), full.begin() + static_cast<long>(cut)));
    testing::internal::CaptureStdout();
    int r = extractEntries((dir / "t.7z").c_str(), (dir / "c.cache").c_str(), "two", (dir / "o").c_str());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(r, 1) << cut;
  }
}

TEST(ArchiveExtract, FilterFoldersAreUnsupported) {
  testsupport::TempDir dir;
  Bytes data = textData(4000);
  ArchiveLayout layout;
  FolderLayout f;
  f.coders = {CoderLayout{{0x03, 0x03, 0x01, 0x03}, {}, 1, 1}, CoderLayout{{0x00}, {}, 1, 1}};
  f.bindPairs = {{0, 1}};
  f.unpackSizes = {data.size(), data.size()};
  f.streamSizes = {data.size()};
  layout.packed = data;
  layout.packSizes = {data.size()};
  layout.folders = {f};
  layout.files = {FileLayout{"x86.exe"}};
  writeBytes(dir / "f.7z", makeArchive(layout.packed, writeHeader(layout)));
  auto [r, printed] = extract(dir / "f.7z", dir / "c.cache", "x86.exe", dir / "o");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(printed, "\nERROR: decoder doesn't support this archive\n");
}

namespace {

// Opens an in-memory archive; returns the result and keeps the database for the checks.
struct Opened {
  Bytes bytes;
  MemInStream mem;
  std::unique_ptr<LookAheadReader> look = std::make_unique<LookAheadReader>();
  Archive db;
  ArchiveResult res;
  explicit Opened(Bytes b) : bytes(std::move(b)), mem(bytes.data(), bytes.size()) {
    LookAheadReader_Bind(look.get(), &mem);
    Archive_Init(&db);
    res = Archive_Open(&db, look.get(), &kMainAllocator, &kTempAllocator);
  }
  ~Opened() { Archive_Free(&db, &kMainAllocator); }
};

Bytes withHeader(const Bytes& header) { return makeArchive({}, header); }

}  // namespace

TEST(ArchiveDatabase, SevenZipNumbers) {
  struct Case {
    Bytes in;
    uint64_t value;
  };
  const Case cases[] = {{{0x7F}, 127},
                        {{0x81, 0x23}, 0x123},
                        {{0xC1, 0x00, 0x01}, 0x10100},
                        {{0xFF, 1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201ull}};
  for (const Case& c : cases) {
    HeaderCursor cur{c.in.data(), c.in.size()};
    uint64_t v;
    ASSERT_EQ(HeaderCursor_ReadNumber(&cur, &v), ResOk);
    EXPECT_EQ(v, c.value);
    EXPECT_EQ(cur.remaining, 0u);
    HeaderCursor shortCur{c.in.data(), c.in.size() - 1};
    if (c.in.size() > 1) {
      EXPECT_EQ(HeaderCursor_ReadNumber(&shortCur, &v), ResArchiveError);
    }
  }
}

TEST(ArchiveDatabase, StartHeaderRules) {
  Bytes good = copyArchive({{"a", toBytes("abc")}});
  EXPECT_EQ(Opened(good).res, ResOk);
  EXPECT_EQ(Opened(Bytes(good.begin(), good.begin() + 31)).res, ResNoArchive);
  Bytes b = good;
  b[3] ^= 1;
  EXPECT_EQ(Opened(b).res, ResNoArchive);
  b = good;
  b[6] = 1;
  EXPECT_EQ(Opened(b).res, ResUnsupported);
  Bytes empty = makeArchive({}, {});  // next header size 0
  Opened e(empty);
  EXPECT_EQ(e.res, ResOk);
  EXPECT_EQ(e.db.core.numFiles, 0u);
  b = good;
  b[12] = 0xF0;  // next header offset past the end
  EXPECT_EQ(Opened(b).res, ResInputEof);
  Bytes header = writeHeader(ArchiveLayout{});
  EXPECT_EQ(Opened(makeArchive({}, header, false)).res, ResOk);  // wrong CRCs still open
  b = good;
  b[20] = 0xFF, b[21] = 0xFF, b[22] = 0xFF, b[23] = 0xFF, b[24] = 0xFF, b[25] = 0xFF, b[26] = 0xFF, b[27] = 0xFF;
  EXPECT_EQ(Opened(b).res, ResNoArchive);  // offset + size overflows
}

TEST(ArchiveDatabase, HeaderStructureErrors) {
  struct Case {
    const char* name;
    Bytes header;
    ArchiveResult res;
  };
  auto h = [] { return HeaderWriter(); };
  const Case cases[] = {
      {"additional streams", h().byte(1).byte(3).byte(0).bytes(), ResArchiveError},
      {"unknown top id", h().byte(2).bytes(), ResUnsupported},
      {"truncated", h().byte(1).byte(5).bytes(), ResArchiveError},
      {"odd names", h().byte(1).byte(5).number(1).byte(0x11).number(4).byte(0).byte('a').byte(0).byte(0).byte(0).byte(0).bytes(),
       ResArchiveError},
      {"name without terminator",
       h().byte(1).byte(5).number(1).byte(0x0E).number(1).byte(0x80).byte(0x11).number(3).byte(0).byte('a').byte(0).byte(0).byte(0).bytes(),
       ResArchiveError},
      {"units after the last name",
       h().byte(1).byte(5).number(1).byte(0x0E).number(1).byte(0x80).byte(0x11).number(7).byte(0).raw({'a', 0, 0, 0, 'b', 0}).byte(0).byte(0).bytes(),
       ResArchiveError},
      {"external names", h().byte(1).byte(5).number(1).byte(0x0E).number(1).byte(0x80).byte(0x11).number(3).byte(1).raw({0, 0}).byte(0).byte(0).bytes(),
       ResUnsupported},
      {"external attributes",
       h().byte(1).byte(5).number(1).byte(0x0E).number(1).byte(0x80).byte(0x15).number(2).byte(1).byte(1).byte(0).byte(0).bytes(),
       ResUnsupported},
      {"files with data but no streams", h().byte(1).byte(5).number(2).byte(0).byte(0).bytes(), ResArchiveError},
      {"count beyond the header", h().byte(1).byte(5).number(0x7FFFFFFF).byte(0).byte(0).bytes(), ResArchiveError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Opened(withHeader(c.header)).res, c.res);
  }
}

TEST(ArchiveDatabase, FolderLimitsAndStreamCounts) {
  auto folderWith = [](uint32_t coders, uint32_t inStreams) {
    ArchiveLayout layout;
    FolderLayout f;
    for (uint32_t i = 0; i < coders; i++) f.coders.push_back(CoderLayout{{0x00}, {}, inStreams, 1});
    for (uint32_t i = 0; i < coders; i++) f.unpackSizes.push_back(1);
    for (uint32_t i = 0; i + 1 < coders; i++) f.bindPairs.push_back({i, i + 1});
    for (uint32_t i = coders - 1; i < coders * inStreams; i++) f.packStreams.push_back(i);
    f.streamSizes = {1};
    layout.packSizes = std::vector<uint64_t>(f.packStreams.size(), 0);
    layout.folders = {f};
    layout.files = {FileLayout{"a"}};
    return makeArchive({}, writeHeader(layout));
  };
  EXPECT_EQ(Opened(folderWith(33, 1)).res, ResUnsupported);
  EXPECT_EQ(Opened(folderWith(1, 33)).res, ResUnsupported);
  EXPECT_EQ(Opened(folderWith(2, 1)).res, ResOk);  // opens; decoding it is unsupported

  // Two files with data but one stream listed.
  ArchiveLayout layout;
  FolderLayout f;
  f.coders = {CoderLayout{{0x00}, {}, 1, 1}};
  f.unpackSizes = {6};
  f.streamSizes = {6};
  layout.packed = toBytes("abcdef");
  layout.packSizes = {6};
  layout.folders = {f};
  layout.files = {FileLayout{"a"}, FileLayout{"b"}};
  EXPECT_EQ(Opened(makeArchive(layout.packed, writeHeader(layout))).res, ResArchiveError);
  // Substream sizes that exceed their folder.
  layout.files = {FileLayout{"a"}, FileLayout{"b"}};
  layout.folders[0].streamSizes = {7, 0};
  EXPECT_EQ(Opened(makeArchive(layout.packed, writeHeader(layout))).res, ResArchiveError);
  // A folder that uses more pack streams than the archive lists.
  layout.folders[0].streamSizes = {6};
  layout.files = {FileLayout{"a"}};
  layout.packSizes = {};
  EXPECT_EQ(Opened(makeArchive(layout.packed, writeHeader(layout))).res, ResArchiveError);
}

TEST(ArchiveDatabase, DirectoriesEmptyFilesAndFolderMapping) {
  ArchiveLayout layout;
  FolderLayout f;
  f.coders = {CoderLayout{{0x00}, {}, 1, 1}};
  f.unpackSizes = {5};
  f.streamSizes = {2, 3};
  layout.packed = toBytes("abcde");
  layout.packSizes = {5};
  layout.folders = {f};
  FileLayout dir{"d", false, false}, empty{"e", false, true};
  layout.files = {dir, FileLayout{"x"}, empty, FileLayout{"y"}, dir};
  Opened o(makeArchive(layout.packed, writeHeader(layout)));
  ASSERT_EQ(o.res, ResOk);
  const FileRecord* files = o.db.core.files;
  EXPECT_TRUE(files[0].isDir);
  EXPECT_FALSE(files[2].isDir);
  EXPECT_EQ(o.db.fileFolder[0], kNoFolder);
  EXPECT_EQ(o.db.fileFolder[2], 0u);  // an empty file between two files of a folder maps to it
  EXPECT_EQ(o.db.fileFolder[4], kNoFolder);
  EXPECT_EQ(files[3].size, 3u);
  // Without an empty-file property every streamless entry is a directory.
  layout.files = {empty, FileLayout{"x"}, FileLayout{"y"}};
  layout.files[0].emptyFile = false;
  Opened o2(makeArchive(layout.packed, writeHeader(layout)));
  ASSERT_EQ(o2.res, ResOk);
  EXPECT_TRUE(o2.db.core.files[0].isDir);
  // No names at all: readable, names are empty.
  layout.names = false;
  Opened o3(makeArchive(layout.packed, writeHeader(layout)));
  ASSERT_EQ(o3.res, ResOk);
  EXPECT_EQ(Archive_GetFileNameUtf16(&o3.db, 1, nullptr), 1u);
}

TEST(ArchiveDatabase, EncodedHeaderWithTwoFoldersIsAnError) {
  HeaderWriter w;
  w.byte(0x17);  // encoded header: streams info with two Copy folders
  w.byte(0x06).number(0).number(2).byte(0x09).number(1).number(1).byte(0x00);
  w.byte(0x07).byte(0x0B).number(2).byte(0x00);
  w.number(1).byte(0x01).byte(0x00).number(1).byte(0x01).byte(0x00);
  w.byte(0x0C).number(1).number(1).byte(0x00).byte(0x00);
  EXPECT_EQ(Opened(makeArchive(toBytes("xy"), w.bytes())).res, ResArchiveError);
}

TEST(ArchiveExtract, FolderCacheHeapMappedAndReuse) {
  testsupport::TempDir dir;
  auto run1 = [&](size_t size, bool withMap) {
    Bytes data = randomData(size, static_cast<uint32_t>(size));
    Opened o(copyArchive({{"f", data}, {"g", toBytes("tail")}}));
    EXPECT_EQ(o.res, ResOk);
    FolderCache cache;
    FolderCache_Init(&cache, &kMainAllocator);
    std::string mapName = (dir / "m.cache").string();
    cache.mapFilename = withMap ? mapName.c_str() : nullptr;
    fs::remove(mapName);
    EXPECT_EQ(Archive_Extract(&o.db, o.look.get(), 0, &cache, &kMainAllocator, &kTempAllocator), ResOk);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), cache.outBuffer + cache.entryOffset));
    bool mapped = cache.mapFile != nullptr;
    uint64_t fileSize = fs::exists(mapName) ? fs::file_size(mapName) : 0;
    uint8_t* buffer = cache.outBuffer;
    // The next file of the same folder comes from the same decoding.
    EXPECT_EQ(Archive_Extract(&o.db, o.look.get(), 1, &cache, &kMainAllocator, &kTempAllocator), ResOk);
    EXPECT_EQ(cache.outBuffer, buffer);
    EXPECT_EQ(cache.entryOffset, data.size());
    FolderCache_Free(&cache);
    return std::make_pair(mapped, fileSize);
  };
  // Folder sizes include the 4-byte second file.
  EXPECT_EQ(run1(0x100000 - 5, true), std::make_pair(false, uint64_t{0}));
  EXPECT_EQ(run1(0x100000 - 4, true), std::make_pair(true, uint64_t{0x100000}));
  EXPECT_EQ(run1(0x100000 - 3, true), std::make_pair(true, uint64_t{0x101000}));
  EXPECT_EQ(run1(0x200000, false).first, false);
}

TEST(ArchiveExtract, CacheFileThatCannotBeCreatedIsOutOfMemory) {
  testsupport::TempDir dir;
  writeBytes(dir / "big.7z", copyArchive({{"f", randomData(0x100000)}}));
  auto [r, printed] = extract(dir / "big.7z", dir / "missing" / "c.cache", "f", dir / "f.out");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(printed, "\nERROR: can not allocate memory\n");
}

TEST(ArchiveExtract, CopyAndLzma2CoderRules) {
  testsupport::TempDir dir;
  ArchiveLayout layout;
  FolderLayout f;
  f.coders = {CoderLayout{{0x00}, {}, 1, 1}};
  f.unpackSizes = {5};
  f.streamSizes = {5};
  layout.packed = toBytes("abcdef");
  layout.packSizes = {6};  // pack size differs from unpack size
  layout.folders = {f};
  layout.files = {FileLayout{"a"}};
  writeBytes(dir / "c.7z", makeArchive(layout.packed, writeHeader(layout)));
  EXPECT_EQ(extract(dir / "c.7z", dir / "x.cache", "a", dir / "o").second, "\nERROR #1\n");
  layout.folders[0].coders = {CoderLayout{{0x21}, {16, 0}, 1, 1}};  // LZMA2 with two property bytes
  writeBytes(dir / "l.7z", makeArchive(layout.packed, writeHeader(layout)));
  EXPECT_EQ(extract(dir / "l.7z", dir / "x.cache", "a", dir / "o").second, "\nERROR #1\n");
}

TEST(ArchiveExtractor, CachePathAndFolderExtraction) {
  std::string p = ArchiveExtractor::generateUniqueTmpCachePath();
  EXPECT_EQ(fs::path(p).extension(), ".cache");
  std::string stem = fs::path(p).stem().string();
  std::string time = stem.substr(0, stem.find('-'));
  EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << stem;
  EXPECT_GE(time.size(), 15u);
  EXPECT_NE(ArchiveExtractor::generateUniqueTmpCachePath(), p);

  testsupport::TempDir dir;
  writeBytes(dir / "a.7z", copyArchive({{"x/one", toBytes("1")}, {"two", toBytes("22")}}));
  fs::path old = fs::current_path();
  std::string name = "archive-test-" + std::to_string(getpid());
  std::vector<std::string> paths = ArchiveExtractor::extract7zArchive((dir / "a.7z").string(), name);
  fs::current_path(old);
  ASSERT_EQ(paths.size(), 2u);
  fs::path work = fs::temp_directory_path() / name;
  EXPECT_EQ(testsupport::readFile(work / "one"), "1");
  EXPECT_EQ(testsupport::readFile(work / "two"), "22");
  fs::remove_all(work);
}
