// The 7z archive database: opening an archive (signature header, plain or encoded next header),
// the packed streams, folders and files it lists, and the indexes that place each file's bytes
// inside its folder's decoded output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/allocator.h"
#include "archive/archive_result.h"
#include "archive/look_ahead_reader.h"

namespace sevenzip {

inline constexpr uint8_t kArchiveSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
inline constexpr uint32_t kNoFolder = 0xFFFFFFFF;  // fileFolder of a file outside every folder

// One coder of a folder.
struct CoderInfo {
  uint32_t numInStreams = 0;   // input streams of the coder
  uint32_t numOutStreams = 0;  // output streams of the coder
  uint64_t methodId = 0;       // method id bytes, most significant first
  ByteBuffer props;            // coder properties (main allocator)
};

// Coder in-stream inIndex is fed by coder out-stream outIndex.
struct BindPair {
  uint32_t inIndex = 0;
  uint32_t outIndex = 0;
};

// A chain of coders whose output is one solid block of file data.
struct Folder {
  CoderInfo* coders = nullptr;       // numCoders coders
  BindPair* bindPairs = nullptr;     // numBindPairs pairs
  uint32_t* packStreams = nullptr;   // in-stream indexes that read packed data
  uint64_t* unpackSizes = nullptr;   // one per coder out-stream, in coder order
  uint32_t numCoders = 0;
  uint32_t numBindPairs = 0;
  uint32_t numPackStreams = 0;
  uint32_t numOutStreams = 0;        // entries in unpackSizes
  bool unpackCrcDefined = false;     // unpackCrc holds the CRC-32 of the folder's output
  uint32_t unpackCrc = 0;
  uint32_t numUnpackStreams = 1;     // files with data in this folder
};

// One entry of the archive.
struct FileRecord {
  uint32_t mTimeLow = 0;   // modification time as stored, low half
  uint32_t mTimeHigh = 0;  // modification time as stored, high half
  uint64_t size = 0;       // bytes of data
  uint32_t crc = 0;        // CRC-32 of the data when crcDefined
  uint32_t attrib = 0;     // attributes when attribDefined
  uint8_t hasStream = 1;   // the file has data in a folder
  uint8_t isDir = 0;
  uint8_t isAnti = 0;
  uint8_t crcDefined = 0;
  uint8_t mTimeDefined = 0;
  uint8_t attribDefined = 0;
};

void FileRecord_Init(FileRecord* f);

// The records as listed by the archive.
struct ArchiveCore {
  uint64_t* packSizes = nullptr;       // numPackStreams sizes
  uint8_t* packCrcDefined = nullptr;   // numPackStreams flags
  uint32_t* packCrcs = nullptr;        // numPackStreams CRCs
  Folder* folders = nullptr;           // numFolders folders
  FileRecord* files = nullptr;         // numFiles files
  uint32_t numPackStreams = 0;
  uint32_t numFolders = 0;
  uint32_t numFiles = 0;
};

// The database of an open archive. Everything is owned by the main allocator.
struct Archive {
  ArchiveCore core;
  uint64_t headerEndPos = 0;                 // archive start + 32
  uint64_t packDataPos = 0;                  // absolute position of the first packed stream
  uint32_t* folderFirstPackStream = nullptr;  // per folder: index of its first pack stream
  uint64_t* packStreamOffsets = nullptr;      // per pack stream: offset from packDataPos
  uint32_t* folderFirstFile = nullptr;        // per folder: index of its first file
  uint32_t* fileFolder = nullptr;             // per file: its folder, or kNoFolder
  uint64_t* fileOffsets = nullptr;            // per file: where its bytes start in its folder's output
  size_t* nameOffsets = nullptr;              // numFiles + 1 offsets into nameData, in 16-bit units
  ByteBuffer nameData;                        // names as stored: 0-terminated UTF-16LE
};

// A bounds-checked cursor over header bytes: every read past the end fails with 16.
struct HeaderCursor {
  const uint8_t* data = nullptr;  // next byte
  size_t remaining = 0;           // bytes left
};

ArchiveResult HeaderCursor_ReadByte(HeaderCursor* c, uint8_t* out);
ArchiveResult HeaderCursor_ReadNumber(HeaderCursor* c, uint64_t* out);    // a 7z number
ArchiveResult HeaderCursor_ReadNumber32(HeaderCursor* c, uint32_t* out);  // below 0x80000000, else 4
ArchiveResult HeaderCursor_ReadUInt32(HeaderCursor* c, uint32_t* out);    // little-endian
ArchiveResult HeaderCursor_Skip(HeaderCursor* c, uint64_t size);

void Archive_Init(Archive* db);
// Opens the archive at the stream's current position. On failure the partial database is freed.
// Returns 0 or the first error: 17 not an archive, 4 unsupported, 16 malformed, 6 truncated,
// 2 allocation, 8 read error, 1 corrupt encoded header.
ArchiveResult Archive_Open(Archive* db, LookAheadStream* stream, const Allocator* mainAlloc,
                           const Allocator* tempAlloc);
// Frees everything the database owns (with the main allocator) and empties it.
void Archive_Free(Archive* db, const Allocator* mainAlloc);
// Length of file `index`'s name in 16-bit units including its 0 terminator; copies the units to
// `dest` when given. An archive without names gives every file the empty name (length 1).
size_t Archive_GetFileNameUtf16(const Archive* db, uint32_t index, uint16_t* dest);
// Absolute position of pack stream `index` of `folder`.
uint64_t Archive_GetFolderStreamPos(const Archive* db, uint32_t folder, uint32_t index);

uint32_t Folder_GetNumOutStreams(const Folder* f);
int Folder_FindBindPairForInStream(const Folder* f, uint32_t inIndex);
int Folder_FindBindPairForOutStream(const Folder* f, uint32_t outIndex);
// Unpack size of the folder's final output: the last out-stream no bind pair consumes (0 if none).
uint64_t Folder_GetUnpackSize(const Folder* f);

}  // namespace sevenzip
