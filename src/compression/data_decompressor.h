// Inflating gzip or zlib data for the request engine: a streaming inflater fed chunk by chunk as a
// response arrives, plus one-shot and file-to-file forms.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

struct z_stream_s;

namespace compression {

// One zlib inflate stream that detects a gzip or zlib header by itself. Chunks are fed in order
// and the stream state carries over from one to the next. Bytes after the end of the compressed
// data are ignored, except that a further gzip member (a gzip file may hold several, one after
// the other) is inflated in turn. Thread: one thread at a time (the request that owns it). Owns
// its zlib stream, released by closeStream() or destruction.
class DataDecompressor {
 public:
  // A decompressor whose stream is not set up yet (streamReady() false).
  DataDecompressor();
  // Closes the stream if it is still ready; the error of that close is dropped.
  ~DataDecompressor();
  DataDecompressor(const DataDecompressor&) = delete;
  DataDecompressor& operator=(const DataDecompressor&) = delete;

  // A new decompressor with its stream already set up. Never null; if zlib could not set up the
  // stream the object reports streamReady() false.
  static std::shared_ptr<DataDecompressor> decompressor();

  // Sets up the zlib stream (32 KiB window, gzip or zlib header detected). Does nothing when the
  // stream is ready already. Returns null on success, else the error; the stream stays not ready.
  platform::ErrorPtr setupStream();
  // Releases the zlib stream. Does nothing when the stream is not ready. The stream is not ready
  // afterwards in any case; returns null or the error zlib reported.
  platform::ErrorPtr closeStream();
  // True between a successful setupStream() and closeStream().
  bool streamReady() const { return streamReady_; }
  // True once the compressed data has reached its end (its trailer checked); later bytes are
  // ignored or begin a further gzip member. A caller that has fed its last chunk can tell a
  // complete stream from one cut short with this.
  bool streamEnded() const;

  // Inflates the next `length` bytes of the compressed data and returns everything they make
  // available, possibly nothing (an empty, non-null array). A length of 0 returns a null array
  // and no error. A chunk that ends inside the compressed data is not an error: the next chunk
  // continues it. On failure (corrupt data, a stream that is not ready, a negative length) the
  // result is a null array, `*error` (when given) receives a code-11 error "Decompression of data
  // failed with code <zlib status>", and the chunk's partial output is discarded; the stream
  // stays failed.
  QByteArray uncompressBytes(const char* bytes, qsizetype length,
                             platform::ErrorPtr* error = nullptr);

  // Largest piece of output handed to a sink at once.
  static constexpr qsizetype kOutputPieceBytes = 256 * 1024;
  // Receives inflated output piece by piece; returns false to stop (uncompressBytes then returns
  // false and leaves `*error` alone: the sink knows why it stopped).
  using Sink = std::function<bool(const char* bytes, qsizetype length)>;
  // Inflates like the form above but hands the output to `sink` in pieces of at most
  // kOutputPieceBytes as it is made, so memory stays bounded whatever the ratio (a small body
  // may inflate to gigabytes). Returns true when the whole chunk was inflated; on failure false,
  // with `*error` set as above unless the sink stopped.
  bool uncompressBytes(const char* bytes, qsizetype length, const Sink& sink,
                       platform::ErrorPtr* error = nullptr);

  // Inflates `data` as one complete compressed stream. Empty input gives a null array and no
  // error. Input that ends before the compressed data does fails with zlib status -5 (data cut
  // short), like any other failure: null result, `*error` set when given.
  static QByteArray uncompressData(const QByteArray& data, platform::ErrorPtr* error = nullptr);

  // Inflates the file at `sourcePath` into `destinationPath`, in 256 KiB blocks. True on success.
  // The destination is replaced only by a complete result; on failure it is left as it was (or
  // not created) and `*error` (when given) holds a code-11 error: "Decompression of <source>
  // failed because we were to create a file at <destination>", "Decompression of <source> failed
  // the file does not exist", "... failed because we were unable to read from the source data
  // file", "... failed because we were unable to write to the destination data file at
  // <destination>", or the inflate error (status -5 for a source cut short). An empty source
  // gives an empty destination.
  static bool uncompressDataFromFile(const QString& sourcePath, const QString& destinationPath,
                                     platform::ErrorPtr* error = nullptr);

  // The error for zlib status `code`: code 11, "Decompression of data failed with code <code>".
  static platform::ErrorPtr inflateErrorWithCode(int code);

 private:
  // Where the stream stands between compressed members.
  enum class Phase {
    InMember,        // inside compressed data (or before its first byte)
    BetweenMembers,  // a gzip member ended: a next one may follow, anything else is ignored
    Trailing,        // the data ended for good: every further byte is ignored
  };

  // Inflates `input` into `out` from `*produced` on, until the input is used up or the current
  // member ends; `*consumed` says how much input was taken. Returns zlib's status: Z_OK (all
  // input taken), Z_STREAM_END (the member ended) or the failure.
  // With a sink, a full `out` is handed to it (and emptied) instead of growing; a sink that
  // stops makes it return Z_ERRNO.
  int inflateMember(const unsigned char* input, qsizetype length, qsizetype* consumed,
                    QByteArray& out, qsizetype* produced, const Sink* sink = nullptr);
  // The loop over members both forms of uncompressBytes share.
  bool inflateChunk(const char* bytes, qsizetype length, QByteArray& out, qsizetype* produced,
                    const Sink* sink, platform::ErrorPtr* error);
  // Takes the bytes that follow a gzip member's end: a gzip magic number restarts the stream on
  // a new member, anything else makes the rest trailing data. Returns the bytes used.
  qsizetype scanBetweenMembers(const unsigned char* input, qsizetype length, int* status);
  // Output room to offer first for a chunk of `length` bytes, from the ratio seen so far.
  qsizetype initialOutputSize(qsizetype length) const;

  std::unique_ptr<z_stream_s> zStream_;  // zlib's state; live while streamReady_
  bool streamReady_ = false;             // between a successful setupStream and closeStream
  Phase phase_ = Phase::InMember;        // see Phase
  bool memberStarted_ = false;           // the current member has received its first byte
  bool gzipMember_ = false;              // the current member began with the gzip magic number
  bool magicPending_ = false;            // BetweenMembers: the magic's first byte has been seen
  qint64 totalIn_ = 0;                   // compressed bytes inflated so far, all members
  qint64 totalOut_ = 0;                  // bytes produced so far, all members
};

}  // namespace compression
