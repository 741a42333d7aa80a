// A small 7z archive writer for tests: lays out signature header, packed streams and a header
// described field by field, so that tests can build shapes the independent producers never make
// (several folders, filters, hostile counts) and break them on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace archivetest {

// Appends 7z header items.
class HeaderWriter {
 public:
  HeaderWriter& byte(uint8_t b);
  HeaderWriter& number(uint64_t v);  // a 7z number
  HeaderWriter& u32(uint32_t v);
  HeaderWriter& raw(const Bytes& b);
  const Bytes& bytes() const { return out_; }

 private:
  Bytes out_;
};

struct CoderLayout {
  Bytes id;  // method id bytes, most significant first
  Bytes props;
  uint32_t numIn = 1;
  uint32_t numOut = 1;
};

struct FolderLayout {
  std::vector<CoderLayout> coders;
  std::vector<std::pair<uint32_t, uint32_t>> bindPairs;  // (in, out)
  std::vector<uint32_t> packStreams;                      // written when more than one
  std::vector<uint64_t> unpackSizes;                      // one per coder out-stream
  std::optional<uint32_t> crc;                            // folder CRC
  std::vector<uint64_t> streamSizes;                      // sizes of the files with data in it
  std::vector<std::optional<uint32_t>> streamCrcs;        // per stream (empty: none written)
};

struct FileLayout {
  std::string name;  // UTF-8
  bool hasStream = true;
  bool emptyFile = false;  // without a stream: an empty file rather than a directory
};

struct ArchiveLayout {
  Bytes packed;                   // all packed streams back to back
  std::vector<uint64_t> packSizes;
  std::vector<FolderLayout> folders;
  std::vector<FileLayout> files;
  bool names = true;
  bool substreams = true;  // write a substreams block
};

// The header (starting with id 1) for `layout`.
Bytes writeHeader(const ArchiveLayout& layout);
// Signature header + packed data + next header, with correct CRCs unless told otherwise.
Bytes makeArchive(const Bytes& packed, const Bytes& header, bool goodCrcs = true);
// A one-folder Copy archive of the given files (name, content), solid, with file CRCs unless
// `withCrcs` is false.
Bytes copyArchive(const std::vector<std::pair<std::string, Bytes>>& files, bool withCrcs = true);
// An LZMA2 archive (data compressed by xz) holding the given files in one solid folder.
Bytes lzma2Archive(const std::vector<std::pair<std::string, Bytes>>& files, uint8_t dictProp = 16);
uint32_t crcOf(const Bytes& b);

}  // namespace archivetest
