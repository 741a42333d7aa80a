// Helpers of the 7z decoder tests: sample data, running the independent producers (xz, bsdtar)
// on temporary files, and whole-stream decoding through the resumable decoders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/lzma2_decoder.h"
#include "archive/lzma_decoder.h"

namespace archivetest {

using Bytes = std::vector<uint8_t>;

Bytes toBytes(const std::string& s);

// Deterministic sample data of `size` bytes.
Bytes textData(size_t size, uint32_t seed = 1);    // word salad with repeats: matches of all kinds
Bytes randomData(size_t size, uint32_t seed = 2);  // incompressible: stored LZMA2 chunks
Bytes mixedData(size_t size, uint32_t seed = 3);   // text, random and one-byte runs, in blocks

// Runs a shell command; returns its exit status.
int run(const std::string& command);
void writeBytes(const std::filesystem::path& path, const Bytes& data);
Bytes readBytes(const std::filesystem::path& path);
// Compresses `data` with `xz <args>` (fails the current test on error).
Bytes xzCompress(const Bytes& data, const std::string& args);

// How input and output are handed to a decoder.
struct Feed {
  std::vector<size_t> pieces;  // input piece sizes, cycled; empty: all input at once
  size_t outStep = 0;          // output allowance per call; 0: up to the capacity
  sevenzip::LzmaFinishMode finish = sevenzip::LzmaFinishEnd;  // mode when the limit is the capacity
};

struct Decoded {
  sevenzip::ArchiveResult res = 0;
  sevenzip::LzmaStatus status = sevenzip::LzmaStatusNotSpecified;
  Bytes output;         // dict[0, dictPos)
  size_t consumed = 0;  // input bytes consumed
  int calls = 0;
};

// Decodes `stream` into a dictionary of `capacity` bytes, calling the decoder until it finishes,
// fails, or makes no more progress. LZMA takes the 5 property bytes, LZMA2 the property byte.
Decoded decodeLzma(const Bytes& props, const Bytes& stream, size_t capacity, const Feed& feed = {});
Decoded decodeLzma2(uint8_t prop, const Bytes& stream, size_t capacity, const Feed& feed = {});

}  // namespace archivetest
