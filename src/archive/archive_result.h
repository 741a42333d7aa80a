// Result codes returned by every function of the 7z decoder.
// 0 is success; the first non-zero code of a step is passed straight up by every caller.
#pragma once

#include <cstdint>

namespace sevenzip {

using ArchiveResult = int32_t;

inline constexpr ArchiveResult ResOk = 0;
inline constexpr ArchiveResult ResDataError = 1;      // corrupt data, size mismatch, bad CRC
inline constexpr ArchiveResult ResOutOfMemory = 2;    // allocation or cache-file reservation failed
inline constexpr ArchiveResult ResUnsupported = 4;    // method, shape, property, version, external data
inline constexpr ArchiveResult ResBadParameter = 5;   // a coder's declared size exceeds its output
inline constexpr ArchiveResult ResInputEof = 6;       // the archive ends before the data it announces
inline constexpr ArchiveResult ResReadError = 8;      // the file read reported an error
inline constexpr ArchiveResult ResFail = 11;          // output file error, bad name, entry outside its folder
inline constexpr ArchiveResult ResArchiveError = 16;  // malformed header structure
inline constexpr ArchiveResult ResNoArchive = 17;     // no signature, or a start header pointing nowhere

}  // namespace sevenzip
