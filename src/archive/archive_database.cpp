// The 7z header parser. It mirrors the format's grammar, one function per rule, every read going
// through one bounds-checked cursor; counts from the archive are capped before anything is sized.
#include "archive/archive_database.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "archive/folder_decoder.h"

namespace sevenzip {
namespace {

// Property ids of the 7z header.
enum PropertyId : uint64_t {
  kEnd = 0,
  kHeader = 1,
  kArchiveProperties = 2,
  kAdditionalStreamsInfo = 3,
  kMainStreamsInfo = 4,
  kFilesInfo = 5,
  kPackInfo = 6,
  kUnpackInfo = 7,
  kSubStreamsInfo = 8,
  kSize = 9,
  kCrc = 10,
  kFolder = 11,
  kCodersUnpackSize = 12,
  kNumUnpackStream = 13,
  kEmptyStream = 14,
  kEmptyFile = 15,
  kName = 17,
  kMTime = 20,
  kWinAttributes = 21,
  kEncodedHeader = 23,
};

constexpr size_t kSignatureHeaderSize = 32;
constexpr uint32_t kMaxCoders = 32;            // the format's limit on coders per folder
constexpr uint32_t kMaxCoderStreams = 32;      // and on streams per coder
// A decoded header lists names, sizes and times; this bounds its buffer far above any real one.
constexpr uint64_t kMaxHeaderUnpackSize = 1ull << 26;
// Smallest header cost of each counted item; a count the remaining bytes cannot hold is hostile.
constexpr uint64_t kBytesPerPackStream = 1;  // its size
constexpr uint64_t kBytesPerFolder = 3;      // coder count, one coder flag, its unpack size
constexpr uint64_t kBytesPerExtraStream = 1;  // each unpack stream after a folder's first: its size
constexpr uint64_t kFilesPerByte = 8;        // a directory without a name: one bit of empty-stream
// The database may hold this many bytes of records per byte of header (plain or decoded), and
// never more than the absolute cap: real headers need far less, and a small hostile file must not
// make the decoder allocate gigabytes.
constexpr uint64_t kRecordBytesPerHeaderByte = 64;
constexpr uint64_t kMaxDatabaseBytes = 256ull << 20;

bool countFits(const HeaderCursor* c, uint64_t count, uint64_t bytesPerItem) {
  return count <= static_cast<uint64_t>(c->remaining) / bytesPerItem;
}

// An allocator that forwards to another one while the bytes handed out stay within a budget
// shared by the main and temporary sides of one header's parsing. Blocks are freed by the inner
// allocator's Free, so the database may be freed later with the plain main allocator.
struct HeaderBudget {
  uint64_t left = 0;
};

struct BudgetAllocator {
  Allocator iface;  // first member: a pointer to it is a pointer to the whole record
  const Allocator* inner;
  HeaderBudget* budget;
};

void* budgetAlloc(const Allocator* self, size_t size) {
  const auto* b = reinterpret_cast<const BudgetAllocator*>(self);
  if (size > b->budget->left) return nullptr;
  void* p = b->inner->Alloc(b->inner, size);
  if (p != nullptr) b->budget->left -= size;
  return p;
}

void budgetFree(const Allocator* self, void* address) {
  const auto* b = reinterpret_cast<const BudgetAllocator*>(self);
  b->inner->Free(b->inner, address);
}

BudgetAllocator makeBudgetAllocator(const Allocator* inner, HeaderBudget* budget) {
  return BudgetAllocator{Allocator{budgetAlloc, budgetFree}, inner, budget};
}

HeaderBudget budgetFor(size_t headerSize) {
  uint64_t bytes = static_cast<uint64_t>(headerSize) * kRecordBytesPerHeaderByte;
  return HeaderBudget{bytes < kMaxDatabaseBytes ? bytes : kMaxDatabaseBytes};
}

ArchiveResult readId(HeaderCursor* c, uint64_t* id) { return HeaderCursor_ReadNumber(c, id); }

ArchiveResult skipData(HeaderCursor* c) {
  uint64_t size;
  ArchiveResult res = HeaderCursor_ReadNumber(c, &size);
  if (res != ResOk) return res;
  return HeaderCursor_Skip(c, size);
}

// Reads ids, skipping other blocks, until `id`; the end of the list is an error.
ArchiveResult skipToProperty(HeaderCursor* c, uint64_t id) {
  for (;;) {
    uint64_t type;
    ArchiveResult res = readId(c, &type);
    if (res != ResOk) return res;
    if (type == id) return ResOk;
    if (type == kEnd) return ResArchiveError;
    if ((res = skipData(c)) != ResOk) return res;
  }
}

// numItems bits, most significant first, into a byte-per-item vector from `alloc`.
ArchiveResult readBitVector(HeaderCursor* c, uint32_t numItems, uint8_t** out, const Allocator* alloc) {
  *out = nullptr;
  if (static_cast<size_t>((static_cast<uint64_t>(numItems) + 7) / 8) > c->remaining) return ResArchiveError;
  if (numItems == 0) return ResOk;
  uint8_t* v = AllocArray<uint8_t>(alloc, numItems);
  if (v == nullptr) return ResOutOfMemory;
  uint8_t byte = 0, mask = 0;
  for (uint32_t i = 0; i < numItems; i++) {
    if (mask == 0) {
      byte = *c->data++;
      c->remaining--;
      mask = 0x80;
    }
    v[i] = (byte & mask) != 0;
    mask >>= 1;
  }
  *out = v;
  return ResOk;
}

// A first byte: non-zero means every item is defined, otherwise a bit vector follows.
ArchiveResult readDefinedVector(HeaderCursor* c, uint32_t numItems, uint8_t** out, const Allocator* alloc) {
  uint8_t allDefined;
  ArchiveResult res = HeaderCursor_ReadByte(c, &allDefined);
  if (res != ResOk) return res;
  if (allDefined == 0) return readBitVector(c, numItems, out, alloc);
  *out = nullptr;
  if (numItems == 0) return ResOk;
  uint8_t* v = AllocArray<uint8_t>(alloc, numItems);
  if (v == nullptr) return ResOutOfMemory;
  std::memset(v, 1, numItems);
  *out = v;
  return ResOk;
}

// A defined vector and one CRC per defined item, into two vectors from `alloc`.
ArchiveResult readDigests(HeaderCursor* c, uint32_t numItems, uint8_t** defined, uint32_t** crcs,
                          const Allocator* alloc) {
  ArchiveResult res = readDefinedVector(c, numItems, defined, alloc);
  if (res != ResOk) return res;
  *crcs = nullptr;
  if (numItems == 0) return ResOk;
  *crcs = AllocArray<uint32_t>(alloc, numItems);
  if (*crcs == nullptr) return ResOutOfMemory;
  for (uint32_t i = 0; i < numItems; i++) {
    (*crcs)[i] = 0;
    if ((*defined)[i] && (res = HeaderCursor_ReadUInt32(c, &(*crcs)[i])) != ResOk) return res;
  }
  return ResOk;
}

ArchiveResult readPackInfo(HeaderCursor* c, uint64_t* dataOffset, ArchiveCore* core, const Allocator* alloc) {
  ArchiveResult res = HeaderCursor_ReadNumber(c, dataOffset);
  if (res != ResOk) return res;
  uint32_t num;
  if ((res = HeaderCursor_ReadNumber32(c, &num)) != ResOk) return res;
  if (!countFits(c, num, kBytesPerPackStream)) return ResArchiveError;
  if ((res = skipToProperty(c, kSize)) != ResOk) return res;
  if (core->packSizes != nullptr) return ResArchiveError;  // pack info given twice
  core->numPackStreams = num;
  core->packSizes = AllocArray<uint64_t>(alloc, num);
  core->packCrcDefined = AllocArray<uint8_t>(alloc, num);
  core->packCrcs = AllocArray<uint32_t>(alloc, num);
  if (num != 0 && (core->packSizes == nullptr || core->packCrcDefined == nullptr || core->packCrcs == nullptr))
    return ResOutOfMemory;
  for (uint32_t i = 0; i < num; i++) {
    if ((res = HeaderCursor_ReadNumber(c, &core->packSizes[i])) != ResOk) return res;
    core->packCrcDefined[i] = 0;
    core->packCrcs[i] = 0;
  }
  for (;;) {
    uint64_t type;
    if ((res = readId(c, &type)) != ResOk) return res;
    if (type == kEnd) return ResOk;
    if (type == kCrc) {
      uint8_t* defined = nullptr;
      uint32_t* crcs = nullptr;
      res = readDigests(c, num, &defined, &crcs, alloc);
      if (res == ResOk && num != 0) {
        std::memcpy(core->packCrcDefined, defined, num);
        std::memcpy(core->packCrcs, crcs, num * sizeof(uint32_t));
      }
      alloc->Free(alloc, defined);
      alloc->Free(alloc, crcs);
      if (res != ResOk) return res;
    } else if ((res = skipData(c)) != ResOk) {
      return res;
    }
  }
}

ArchiveResult readFolder(HeaderCursor* c, Folder* f, const Allocator* alloc) {
  uint32_t numCoders;
  ArchiveResult res = HeaderCursor_ReadNumber32(c, &numCoders);
  if (res != ResOk) return res;
  if (numCoders > kMaxCoders) return ResUnsupported;
  f->coders = AllocArray<CoderInfo>(alloc, numCoders);
  if (numCoders != 0 && f->coders == nullptr) return ResOutOfMemory;
  for (uint32_t i = 0; i < numCoders; i++) new (&f->coders[i]) CoderInfo();
  f->numCoders = numCoders;
  uint32_t numInTotal = 0, numOutTotal = 0;
  for (uint32_t i = 0; i < numCoders; i++) {
    CoderInfo* coder = &f->coders[i];
    uint8_t flag;
    if ((res = HeaderCursor_ReadByte(c, &flag)) != ResOk) return res;
    unsigned idSize = flag & 0x0F;
    if (idSize > 8) return ResUnsupported;
    for (unsigned j = 0; j < idSize; j++) {
      uint8_t b;
      if ((res = HeaderCursor_ReadByte(c, &b)) != ResOk) return res;
      coder->methodId = (coder->methodId << 8) | b;
    }
    coder->numInStreams = coder->numOutStreams = 1;
    if (flag & 0x10) {
      if ((res = HeaderCursor_ReadNumber32(c, &coder->numInStreams)) != ResOk) return res;
      if ((res = HeaderCursor_ReadNumber32(c, &coder->numOutStreams)) != ResOk) return res;
      if (coder->numInStreams > kMaxCoderStreams || coder->numOutStreams > kMaxCoderStreams) return ResUnsupported;
    }
    if (flag & 0x20) {
      uint64_t propsSize;
      if ((res = HeaderCursor_ReadNumber(c, &propsSize)) != ResOk) return res;
      if (propsSize > c->remaining) return ResArchiveError;
      if (!ByteBuffer_Create(&coder->props, static_cast<size_t>(propsSize), alloc)) return ResOutOfMemory;
      if (propsSize != 0) std::memcpy(coder->props.data, c->data, static_cast<size_t>(propsSize));
      HeaderCursor_Skip(c, propsSize);
    }
    while (flag & 0x80) {  // alternative methods: read and dropped
      if ((res = HeaderCursor_ReadByte(c, &flag)) != ResOk) return res;
      if ((res = HeaderCursor_Skip(c, flag & 0x0F)) != ResOk) return res;
      uint32_t ignored;
      if (flag & 0x10) {
        if ((res = HeaderCursor_ReadNumber32(c, &ignored)) != ResOk) return res;
        if ((res = HeaderCursor_ReadNumber32(c, &ignored)) != ResOk) return res;
      }
      if ((flag & 0x20) && (res = skipData(c)) != ResOk) return res;
    }
    numInTotal += coder->numInStreams;
    numOutTotal += coder->numOutStreams;
  }
  if (numOutTotal == 0) return ResUnsupported;
  f->numOutStreams = numOutTotal;
  f->numBindPairs = numOutTotal - 1;
  f->bindPairs = AllocArray<BindPair>(alloc, f->numBindPairs);
  if (f->numBindPairs != 0 && f->bindPairs == nullptr) return ResOutOfMemory;
  for (uint32_t i = 0; i < f->numBindPairs; i++) {
    if ((res = HeaderCursor_ReadNumber32(c, &f->bindPairs[i].inIndex)) != ResOk) return res;
    if ((res = HeaderCursor_ReadNumber32(c, &f->bindPairs[i].outIndex)) != ResOk) return res;
  }
  if (numInTotal < f->numBindPairs) return ResUnsupported;
  // A folder reads at least one packed stream: one without any (a coder declared with no input)
  // has nothing to decode from.
  if (numInTotal == f->numBindPairs) return ResArchiveError;
  f->numPackStreams = numInTotal - f->numBindPairs;
  f->packStreams = AllocArray<uint32_t>(alloc, f->numPackStreams);
  if (f->numPackStreams != 0 && f->packStreams == nullptr) return ResOutOfMemory;
  if (f->numPackStreams == 1) {
    uint32_t i = 0;
    while (i < numInTotal && Folder_FindBindPairForInStream(f, i) >= 0) i++;
    if (i == numInTotal) return ResUnsupported;
    f->packStreams[0] = i;
  } else {
    for (uint32_t i = 0; i < f->numPackStreams; i++)
      if ((res = HeaderCursor_ReadNumber32(c, &f->packStreams[i])) != ResOk) return res;
  }
  return ResOk;
}

ArchiveResult readUnpackInfo(HeaderCursor* c, ArchiveCore* core, const Allocator* alloc, const Allocator* temp) {
  ArchiveResult res = skipToProperty(c, kFolder);
  if (res != ResOk) return res;
  uint32_t num;
  if ((res = HeaderCursor_ReadNumber32(c, &num)) != ResOk) return res;
  if (!countFits(c, num, kBytesPerFolder)) return ResArchiveError;
  uint8_t external;
  if ((res = HeaderCursor_ReadByte(c, &external)) != ResOk) return res;
  if (external != 0) return ResUnsupported;
  if (core->folders != nullptr) return ResArchiveError;  // unpack info given twice
  // The array grows as folders are parsed: a hostile count fails at its first bad folder, not
  // after allocating records for all of them.
  uint32_t capacity = 0;
  for (uint32_t i = 0; i < num; i++) {
    if (i == capacity) {
      uint32_t grown = capacity == 0 ? (num < 16 ? num : 16) : (capacity > num / 2 ? num : capacity * 2);
      Folder* folders = AllocArray<Folder>(alloc, grown);
      if (folders == nullptr) return ResOutOfMemory;
      if (i != 0) std::memcpy(static_cast<void*>(folders), core->folders, i * sizeof(Folder));
      alloc->Free(alloc, core->folders);
      core->folders = folders;
      capacity = grown;
    }
    new (&core->folders[i]) Folder();
    core->numFolders = i + 1;
    if ((res = readFolder(c, &core->folders[i], alloc)) != ResOk) return res;
  }
  if ((res = skipToProperty(c, kCodersUnpackSize)) != ResOk) return res;
  for (uint32_t i = 0; i < num; i++) {
    Folder* f = &core->folders[i];
    f->unpackSizes = AllocArray<uint64_t>(alloc, f->numOutStreams);
    if (f->unpackSizes == nullptr) return ResOutOfMemory;
    for (uint32_t j = 0; j < f->numOutStreams; j++)
      if ((res = HeaderCursor_ReadNumber(c, &f->unpackSizes[j])) != ResOk) return res;
  }
  for (;;) {
    uint64_t type;
    if ((res = readId(c, &type)) != ResOk) return res;
    if (type == kEnd) return ResOk;
    if (type == kCrc) {
      uint8_t* defined = nullptr;
      uint32_t* crcs = nullptr;
      res = readDigests(c, num, &defined, &crcs, temp);
      for (uint32_t i = 0; res == ResOk && i < num; i++) {
        core->folders[i].unpackCrcDefined = defined[i] != 0;
        core->folders[i].unpackCrc = crcs[i];
      }
      temp->Free(temp, defined);
      temp->Free(temp, crcs);
      if (res != ResOk) return res;
    } else if ((res = skipData(c)) != ResOk) {
      return res;
    }
  }
}

// Per-stream vectors of the substreams info (temporary allocator).
struct SubStreams {
  uint64_t* sizes = nullptr;
  uint8_t* crcDefined = nullptr;
  uint32_t* crcs = nullptr;
  uint32_t count = 0;
  void free(const Allocator* temp) {
    temp->Free(temp, sizes);
    temp->Free(temp, crcDefined);
    temp->Free(temp, crcs);
    *this = SubStreams();
  }
};

// Reads substreams info; with `c` null (no such block) every folder holds one stream.
ArchiveResult readSubStreamsInfo(HeaderCursor* c, ArchiveCore* core, SubStreams* ss, const Allocator* temp) {
  ArchiveResult res;
  uint64_t total = core->numFolders;
  for (uint32_t i = 0; i < core->numFolders; i++) core->folders[i].numUnpackStreams = 1;
  uint64_t type = kEnd;
  uint64_t extra = 0;  // streams after the first of each folder: each needs its size listed
  for (; c != nullptr;) {
    if ((res = readId(c, &type)) != ResOk) return res;
    if (type == kNumUnpackStream) {
      total = 0;
      for (uint32_t i = 0; i < core->numFolders; i++) {
        uint32_t n;
        if ((res = HeaderCursor_ReadNumber32(c, &n)) != ResOk) return res;
        core->folders[i].numUnpackStreams = n;
        total += n;
        extra += n > 1 ? n - 1 : 0;
        if (!countFits(c, extra, kBytesPerExtraStream)) return ResArchiveError;
      }
      continue;
    }
    if (type == kCrc || type == kSize || type == kEnd) break;
    if ((res = skipData(c)) != ResOk) return res;
  }
  if (ss->sizes != nullptr) return ResArchiveError;  // substreams given twice
  ss->count = static_cast<uint32_t>(total);
  if (total != 0) {
    ss->sizes = AllocArray<uint64_t>(temp, total);
    ss->crcDefined = AllocArray<uint8_t>(temp, total);
    ss->crcs = AllocArray<uint32_t>(temp, total);
    if (ss->sizes == nullptr || ss->crcDefined == nullptr || ss->crcs == nullptr) return ResOutOfMemory;
  }
  uint32_t si = 0;
  for (uint32_t i = 0; i < core->numFolders; i++) {
    const Folder* f = &core->folders[i];
    uint32_t n = f->numUnpackStreams;
    if (n == 0) continue;
    uint64_t folderSize = Folder_GetUnpackSize(f);
    uint64_t sum = 0;
    if (n > 1 && type != kSize) return ResArchiveError;  // several streams but no sizes
    for (uint32_t j = 1; j < n; j++) {
      uint64_t size;
      if ((res = HeaderCursor_ReadNumber(c, &size)) != ResOk) return res;
      if (size > folderSize - sum) return ResArchiveError;  // the sizes exceed their folder
      ss->sizes[si++] = size;
      sum += size;
    }
    ss->sizes[si++] = folderSize - sum;
  }
  if (type == kSize && (res = readId(c, &type)) != ResOk) return res;

  for (uint32_t i = 0; i < ss->count; i++) {
    ss->crcDefined[i] = 0;
    ss->crcs[i] = 0;
  }
  uint32_t numDigests = 0;
  for (uint32_t i = 0; i < core->numFolders; i++) {
    const Folder* f = &core->folders[i];
    if (f->numUnpackStreams != 1 || !f->unpackCrcDefined) numDigests += f->numUnpackStreams;
  }
  while (type != kEnd) {
    if (type == kCrc) {
      uint8_t* defined = nullptr;
      uint32_t* crcs = nullptr;
      res = readDigests(c, numDigests, &defined, &crcs, temp);
      uint32_t k = 0;
      si = 0;
      for (uint32_t i = 0; res == ResOk && i < core->numFolders; i++) {
        const Folder* f = &core->folders[i];
        if (f->numUnpackStreams == 1 && f->unpackCrcDefined) {
          ss->crcDefined[si] = 1;
          ss->crcs[si++] = f->unpackCrc;
        } else {
          for (uint32_t j = 0; j < f->numUnpackStreams; j++, si++, k++) {
            ss->crcDefined[si] = defined[k];
            ss->crcs[si] = crcs[k];
          }
        }
      }
      temp->Free(temp, defined);
      temp->Free(temp, crcs);
      if (res != ResOk) return res;
    } else if ((res = skipData(c)) != ResOk) {
      return res;
    }
    if ((res = readId(c, &type)) != ResOk) return res;
  }
  return ResOk;
}

ArchiveResult readStreamsInfo(HeaderCursor* c, uint64_t* dataOffset, ArchiveCore* core, SubStreams* ss,
                              const Allocator* alloc, const Allocator* temp) {
  bool haveSubStreams = false;
  for (;;) {
    uint64_t type;
    ArchiveResult res = readId(c, &type);
    if (res != ResOk) return res;
    switch (type) {
      case kEnd:
        // Without a substreams block every folder holds one stream of its whole size.
        return haveSubStreams ? ResOk : readSubStreamsInfo(nullptr, core, ss, temp);
      case kPackInfo: res = readPackInfo(c, dataOffset, core, alloc); break;
      case kUnpackInfo: res = readUnpackInfo(c, core, alloc, temp); break;
      case kSubStreamsInfo:
        res = readSubStreamsInfo(c, core, ss, temp);
        haveSubStreams = true;
        break;
      default: return ResUnsupported;
    }
    if (res != ResOk) return res;
  }
}

void freeFolder(Folder* f, const Allocator* alloc) {
  for (uint32_t i = 0; f->coders != nullptr && i < f->numCoders; i++) ByteBuffer_Free(&f->coders[i].props, alloc);
  alloc->Free(alloc, f->coders);
  alloc->Free(alloc, f->bindPairs);
  alloc->Free(alloc, f->packStreams);
  alloc->Free(alloc, f->unpackSizes);
  *f = Folder();
}

void freeCore(ArchiveCore* core, const Allocator* alloc) {
  for (uint32_t i = 0; core->folders != nullptr && i < core->numFolders; i++) freeFolder(&core->folders[i], alloc);
  alloc->Free(alloc, core->folders);
  alloc->Free(alloc, core->packSizes);
  alloc->Free(alloc, core->packCrcDefined);
  alloc->Free(alloc, core->packCrcs);
  alloc->Free(alloc, core->files);
  *core = ArchiveCore();
}

ArchiveResult readFileNames(HeaderCursor* c, uint64_t size, Archive* db, const Allocator* alloc) {
  uint8_t external;
  ArchiveResult res = HeaderCursor_ReadByte(c, &external);
  if (res != ResOk) return res;
  if (external != 0) return ResUnsupported;
  uint64_t bytes = size - 1;
  if ((bytes & 1) != 0 || bytes > c->remaining) return ResArchiveError;
  ByteBuffer_Free(&db->nameData, alloc);  // a second names block replaces the first
  alloc->Free(alloc, db->nameOffsets);
  db->nameOffsets = nullptr;
  if (!ByteBuffer_Create(&db->nameData, static_cast<size_t>(bytes), alloc)) return ResOutOfMemory;
  if (bytes != 0) std::memcpy(db->nameData.data, c->data, static_cast<size_t>(bytes));
  uint32_t numFiles = db->core.numFiles;
  db->nameOffsets = AllocArray<size_t>(alloc, static_cast<size_t>(numFiles) + 1);
  if (db->nameOffsets == nullptr) return ResOutOfMemory;
  size_t units = static_cast<size_t>(bytes / 2);
  const uint8_t* p = db->nameData.data;
  size_t pos = 0;
  for (uint32_t i = 0; i < numFiles; i++) {
    db->nameOffsets[i] = pos;
    for (;;) {
      if (pos >= units) return ResArchiveError;  // a name without its 0 unit
      bool end = p[2 * pos] == 0 && p[2 * pos + 1] == 0;
      pos++;
      if (end) break;
    }
  }
  db->nameOffsets[numFiles] = pos;
  if (pos != units) return ResArchiveError;  // units after the last name
  return HeaderCursor_Skip(c, bytes);
}

// Assigns each file its folder and the folders their first file; every pack stream is checked to
// belong to the list.
ArchiveResult buildIndexes(Archive* db, const Allocator* alloc) {
  ArchiveCore* core = &db->core;
  db->folderFirstPackStream = AllocArray<uint32_t>(alloc, core->numFolders);
  db->packStreamOffsets = AllocArray<uint64_t>(alloc, core->numPackStreams);
  db->folderFirstFile = AllocArray<uint32_t>(alloc, core->numFolders);
  db->fileFolder = AllocArray<uint32_t>(alloc, core->numFiles);
  db->fileOffsets = AllocArray<uint64_t>(alloc, core->numFiles);
  if ((core->numFolders != 0 && (db->folderFirstPackStream == nullptr || db->folderFirstFile == nullptr)) ||
      (core->numPackStreams != 0 && db->packStreamOffsets == nullptr) ||
      (core->numFiles != 0 && (db->fileFolder == nullptr || db->fileOffsets == nullptr)))
    return ResOutOfMemory;
  uint64_t packIndex = 0;
  for (uint32_t i = 0; i < core->numFolders; i++) {
    db->folderFirstPackStream[i] = static_cast<uint32_t>(packIndex);
    db->folderFirstFile[i] = core->numFiles;
    packIndex += core->folders[i].numPackStreams;
    if (packIndex > core->numPackStreams) return ResArchiveError;  // more pack streams used than listed
  }
  uint64_t offset = 0;
  for (uint32_t i = 0; i < core->numPackStreams; i++) {
    db->packStreamOffsets[i] = offset;
    if (core->packSizes[i] > UINT64_MAX / 2 - offset) return ResArchiveError;
    offset += core->packSizes[i];
  }
  uint32_t folder = 0;
  uint32_t indexInFolder = 0;
  uint64_t offsetInFolder = 0;  // sizes of the folder's files so far: computed once, here
  for (uint32_t i = 0; i < core->numFiles; i++) {
    const FileRecord* file = &core->files[i];
    bool emptyStream = !file->hasStream;
    db->fileOffsets[i] = 0;
    if (emptyStream && indexInFolder == 0) {
      db->fileFolder[i] = kNoFolder;
      continue;
    }
    if (indexInFolder == 0) {
      for (;;) {
        if (folder >= core->numFolders) return ResArchiveError;
        db->folderFirstFile[folder] = i;
        if (core->folders[folder].numUnpackStreams != 0) break;
        folder++;
      }
    }
    db->fileFolder[i] = folder;
    db->fileOffsets[i] = offsetInFolder;
    if (emptyStream) continue;
    offsetInFolder += file->size;  // substream sizes never exceed their folder: no overflow
    if (++indexInFolder >= core->folders[folder].numUnpackStreams) {
      folder++;
      indexInFolder = 0;
      offsetInFolder = 0;
    }
  }
  return ResOk;
}

// Parses the header body after its id (1). Temporary vectors are freed by the caller.
struct HeaderTemps {
  SubStreams ss;
  uint8_t* emptyStream = nullptr;
  uint8_t* emptyFile = nullptr;
  void free(const Allocator* temp) {
    ss.free(temp);
    temp->Free(temp, emptyStream);
    temp->Free(temp, emptyFile);
    emptyStream = emptyFile = nullptr;
  }
};

ArchiveResult readHeaderBody(HeaderCursor* c, Archive* db, HeaderTemps* t, const Allocator* alloc,
                             const Allocator* temp) {
  uint64_t type;
  ArchiveResult res = readId(c, &type);
  if (res != ResOk) return res;
  if (type == kArchiveProperties) {
    for (;;) {
      if ((res = readId(c, &type)) != ResOk) return res;
      if (type == kEnd) break;
      if ((res = skipData(c)) != ResOk) return res;
    }
    if ((res = readId(c, &type)) != ResOk) return res;
  }
  if (type == kAdditionalStreamsInfo) return ResArchiveError;
  if (type == kMainStreamsInfo) {
    if ((res = readStreamsInfo(c, &db->packDataPos, &db->core, &t->ss, alloc, temp)) != ResOk) return res;
    if (db->packDataPos > UINT64_MAX / 2) return ResArchiveError;
    db->packDataPos += db->headerEndPos;
    if ((res = readId(c, &type)) != ResOk) return res;
  }
  if (type == kEnd) return ResOk;
  if (type != kFilesInfo) return ResArchiveError;

  uint32_t numFiles;
  if ((res = HeaderCursor_ReadNumber32(c, &numFiles)) != ResOk) return res;
  if (numFiles / kFilesPerByte > c->remaining) return ResArchiveError;
  db->core.files = AllocArray<FileRecord>(alloc, numFiles);
  if (numFiles != 0 && db->core.files == nullptr) return ResOutOfMemory;
  db->core.numFiles = numFiles;
  for (uint32_t i = 0; i < numFiles; i++) FileRecord_Init(&db->core.files[i]);

  uint32_t numEmptyStreams = 0;
  for (;;) {
    if ((res = readId(c, &type)) != ResOk) return res;
    if (type == kEnd) break;
    uint64_t size;
    if ((res = HeaderCursor_ReadNumber(c, &size)) != ResOk) return res;
    if (size > c->remaining) return ResArchiveError;
    // Each property is parsed within its own size, then skipped as a whole.
    HeaderCursor p{c->data, static_cast<size_t>(size)};
    c->data += size;
    c->remaining -= static_cast<size_t>(size);
    if (type > 0x7FFFFFFF) continue;
    switch (type) {
      case kEmptyStream:
        temp->Free(temp, t->emptyStream);
        temp->Free(temp, t->emptyFile);
        t->emptyFile = nullptr;
        if ((res = readBitVector(&p, numFiles, &t->emptyStream, temp)) != ResOk) return res;
        numEmptyStreams = 0;
        for (uint32_t i = 0; i < numFiles; i++) numEmptyStreams += t->emptyStream[i];
        break;
      case kEmptyFile:
        temp->Free(temp, t->emptyFile);
        if ((res = readBitVector(&p, numEmptyStreams, &t->emptyFile, temp)) != ResOk) return res;
        break;
      case kName:
        if (size == 0) return ResArchiveError;
        if ((res = readFileNames(&p, size, db, alloc)) != ResOk) return res;
        break;
      case kWinAttributes:
      case kMTime: {
        uint8_t* defined = nullptr;
        res = readDefinedVector(&p, numFiles, &defined, temp);
        uint8_t external = 0;
        if (res == ResOk) res = HeaderCursor_ReadByte(&p, &external);
        if (res == ResOk && external != 0) res = ResUnsupported;
        for (uint32_t i = 0; res == ResOk && i < numFiles; i++) {
          FileRecord* f = &db->core.files[i];
          if (type == kWinAttributes) {
            f->attribDefined = defined[i];
            f->attrib = 0;
            if (defined[i]) res = HeaderCursor_ReadUInt32(&p, &f->attrib);
          } else {
            f->mTimeDefined = defined[i];
            if (defined[i]) {
              res = HeaderCursor_ReadUInt32(&p, &f->mTimeLow);
              if (res == ResOk) res = HeaderCursor_ReadUInt32(&p, &f->mTimeHigh);
            }
          }
        }
        temp->Free(temp, defined);
        if (res != ResOk) return res;
        break;
      }
      default:
        break;
    }
  }

  // Streams go to files with data in file order; files without data are directories unless
  // marked as empty files.
  uint32_t streamIndex = 0, emptyIndex = 0;
  for (uint32_t i = 0; i < numFiles; i++) {
    FileRecord* f = &db->core.files[i];
    f->isAnti = 0;
    f->hasStream = t->emptyStream == nullptr || !t->emptyStream[i];
    if (f->hasStream) {
      if (streamIndex >= t->ss.count) return ResArchiveError;  // fewer streams than files with data
      f->isDir = 0;
      f->size = t->ss.sizes[streamIndex];
      f->crc = t->ss.crcs[streamIndex];
      f->crcDefined = t->ss.crcDefined[streamIndex];
      streamIndex++;
    } else {
      f->isDir = t->emptyFile == nullptr || !t->emptyFile[emptyIndex];
      f->size = 0;
      f->crc = 0;
      f->crcDefined = 0;
      emptyIndex++;
    }
  }
  return buildIndexes(db, alloc);
}

// Decodes the packed header described by an encoded-header streams info into a temporary buffer.
ArchiveResult readEncodedHeader(HeaderCursor* c, Archive* db, LookAheadStream* stream, ByteBuffer* out,
                                const Allocator* temp) {
  ArchiveCore core;
  SubStreams ss;
  uint64_t dataOffset = 0;
  HeaderBudget budget = budgetFor(c->remaining);
  BudgetAllocator records = makeBudgetAllocator(temp, &budget);
  ArchiveResult res = readStreamsInfo(c, &dataOffset, &core, &ss, &records.iface, &records.iface);
  ss.free(temp);
  if (res == ResOk && (core.numFolders != 1 || core.folders[0].numPackStreams > core.numPackStreams ||
                       dataOffset > UINT64_MAX / 2))
    res = ResArchiveError;
  if (res == ResOk) {
    const Folder* f = &core.folders[0];
    uint64_t unpackSize = Folder_GetUnpackSize(f);
    uint64_t start = db->headerEndPos + dataOffset;
    if (unpackSize > kMaxHeaderUnpackSize) {
      res = ResArchiveError;
    } else if ((res = LookAheadStream_SeekTo(stream, start)) == ResOk) {
      if (!ByteBuffer_Create(out, static_cast<size_t>(unpackSize), temp)) {
        res = ResOutOfMemory;
      } else {
        res = Folder_Decode(f, core.packSizes, core.numPackStreams, stream, start, out->data,
                            static_cast<size_t>(unpackSize), temp);
        if (res == ResOk && f->unpackCrcDefined &&
            crc32(0, out->data, static_cast<uInt>(unpackSize)) != f->unpackCrc)
          res = ResDataError;
        if (res != ResOk) ByteBuffer_Free(out, temp);
      }
    }
  }
  freeCore(&core, temp);
  return res;
}

ArchiveResult openInner(Archive* db, LookAheadStream* stream, const Allocator* alloc, const Allocator* temp) {
  int64_t startPos = 0;
  ArchiveResult res = stream->Seek(&startPos, kSeekCur);
  if (res != ResOk) return res;
  uint8_t header[kSignatureHeaderSize];
  if ((res = LookAheadStream_ReadExact(stream, header, sizeof(header), ResNoArchive)) != ResOk) return res;
  if (std::memcmp(header, kArchiveSignature, sizeof(kArchiveSignature)) != 0) return ResNoArchive;
  if (header[6] != 0) return ResUnsupported;
  auto le64 = [&](int at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | header[at + i];
    return v;
  };
  uint64_t start = static_cast<uint64_t>(startPos);
  uint64_t nextHeaderOffset = le64(12);
  uint64_t nextHeaderSize = le64(20);
  db->headerEndPos = start + kSignatureHeaderSize;
  if (nextHeaderSize == 0) return ResOk;
  if (nextHeaderOffset > UINT64_MAX - nextHeaderSize ||
      nextHeaderOffset + nextHeaderSize > UINT64_MAX - kSignatureHeaderSize - start)
    return ResNoArchive;
  int64_t fileSize = 0;
  if ((res = stream->Seek(&fileSize, kSeekEnd)) != ResOk) return res;
  if (static_cast<uint64_t>(fileSize) < db->headerEndPos + nextHeaderOffset + nextHeaderSize) return ResInputEof;
  if ((res = LookAheadStream_SeekTo(stream, db->headerEndPos + nextHeaderOffset)) != ResOk) return res;

  ByteBuffer buf;
  if (!ByteBuffer_Create(&buf, static_cast<size_t>(nextHeaderSize), temp)) return ResOutOfMemory;
  res = LookAheadStream_Read(stream, buf.data, buf.size);
  HeaderCursor c{buf.data, buf.size};
  uint64_t type = 0;
  if (res == ResOk) res = readId(&c, &type);
  if (res == ResOk && type == kEncodedHeader) {
    ByteBuffer decoded;
    res = readEncodedHeader(&c, db, stream, &decoded, temp);
    if (res == ResOk) {
      ByteBuffer_Free(&buf, temp);
      buf = decoded;
      c = HeaderCursor{buf.data, buf.size};
      res = readId(&c, &type);
    }
  }
  if (res == ResOk && type != kHeader) res = ResUnsupported;
  if (res == ResOk) {
    HeaderBudget budget = budgetFor(buf.size);
    BudgetAllocator mainRecords = makeBudgetAllocator(alloc, &budget);
    BudgetAllocator tempRecords = makeBudgetAllocator(temp, &budget);
    HeaderTemps t;
    res = readHeaderBody(&c, db, &t, &mainRecords.iface, &tempRecords.iface);
    t.free(temp);
  }
  ByteBuffer_Free(&buf, temp);
  return res;
}

}  // namespace

void FileRecord_Init(FileRecord* f) { *f = FileRecord(); }

ArchiveResult HeaderCursor_ReadByte(HeaderCursor* c, uint8_t* out) {
  if (c->remaining == 0) return ResArchiveError;
  *out = *c->data++;
  c->remaining--;
  return ResOk;
}

ArchiveResult HeaderCursor_ReadNumber(HeaderCursor* c, uint64_t* out) {
  uint8_t first;
  ArchiveResult res = HeaderCursor_ReadByte(c, &first);
  if (res != ResOk) return res;
  uint64_t value = 0;
  uint8_t mask = 0x80;
  for (unsigned i = 0; i < 8; i++) {
    if ((first & mask) == 0) {
      uint64_t high = first & (mask - 1u);
      *out = value + (high << (8 * i));
      return ResOk;
    }
    uint8_t b;
    if ((res = HeaderCursor_ReadByte(c, &b)) != ResOk) return res;
    value |= static_cast<uint64_t>(b) << (8 * i);
    mask >>= 1;
  }
  *out = value;
  return ResOk;
}

ArchiveResult HeaderCursor_ReadNumber32(HeaderCursor* c, uint32_t* out) {
  uint64_t v;
  ArchiveResult res = HeaderCursor_ReadNumber(c, &v);
  if (res != ResOk) return res;
  if (v >= 0x80000000u) return ResUnsupported;
  *out = static_cast<uint32_t>(v);
  return ResOk;
}

ArchiveResult HeaderCursor_ReadUInt32(HeaderCursor* c, uint32_t* out) {
  if (c->remaining < 4) return ResArchiveError;
  *out = static_cast<uint32_t>(c->data[0]) | (static_cast<uint32_t>(c->data[1]) << 8) |
         (static_cast<uint32_t>(c->data[2]) << 16) | (static_cast<uint32_t>(c->data[3]) << 24);
  c->data += 4;
  c->remaining -= 4;
  return ResOk;
}

ArchiveResult HeaderCursor_Skip(HeaderCursor* c, uint64_t size) {
  if (size > c->remaining) return ResArchiveError;
  c->data += size;
  c->remaining -= static_cast<size_t>(size);
  return ResOk;
}

void Archive_Init(Archive* db) { *db = Archive(); }

ArchiveResult Archive_Open(Archive* db, LookAheadStream* stream, const Allocator* mainAlloc,
                           const Allocator* tempAlloc) {
  ArchiveResult res = openInner(db, stream, mainAlloc, tempAlloc);
  if (res != ResOk) Archive_Free(db, mainAlloc);
  return res;
}

void Archive_Free(Archive* db, const Allocator* alloc) {
  alloc->Free(alloc, db->folderFirstPackStream);
  alloc->Free(alloc, db->packStreamOffsets);
  alloc->Free(alloc, db->folderFirstFile);
  alloc->Free(alloc, db->fileFolder);
  alloc->Free(alloc, db->fileOffsets);
  alloc->Free(alloc, db->nameOffsets);
  ByteBuffer_Free(&db->nameData, alloc);
  freeCore(&db->core, alloc);
  Archive_Init(db);
}

size_t Archive_GetFileNameUtf16(const Archive* db, uint32_t index, uint16_t* dest) {
  if (db->nameOffsets == nullptr || index >= db->core.numFiles) {
    if (dest) dest[0] = 0;
    return 1;
  }
  size_t start = db->nameOffsets[index];
  size_t len = db->nameOffsets[index + 1] - start;
  if (dest) {
    const uint8_t* p = db->nameData.data + 2 * start;
    for (size_t i = 0; i < len; i++) dest[i] = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  }
  return len;
}

uint64_t Archive_GetFolderStreamPos(const Archive* db, uint32_t folder, uint32_t index) {
  return db->packDataPos + db->packStreamOffsets[db->folderFirstPackStream[folder] + index];
}

uint32_t Folder_GetNumOutStreams(const Folder* f) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < f->numCoders; i++) n += f->coders[i].numOutStreams;
  return n;
}

int Folder_FindBindPairForInStream(const Folder* f, uint32_t inIndex) {
  for (uint32_t i = 0; i < f->numBindPairs; i++)
    if (f->bindPairs[i].inIndex == inIndex) return static_cast<int>(i);
  return -1;
}

int Folder_FindBindPairForOutStream(const Folder* f, uint32_t outIndex) {
  for (uint32_t i = 0; i < f->numBindPairs; i++)
    if (f->bindPairs[i].outIndex == outIndex) return static_cast<int>(i);
  return -1;
}

uint64_t Folder_GetUnpackSize(const Folder* f) {
  if (f->unpackSizes == nullptr) return 0;
  for (uint32_t i = f->numOutStreams; i-- > 0;)
    if (Folder_FindBindPairForOutStream(f, i) < 0) return f->unpackSizes[i];
  return 0;
}

}  // namespace sevenzip
