// Deflating data into gzip for request bodies: a streaming deflater fed chunk by chunk, plus
// one-shot and file-to-file forms.
#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QString>

#include <memory>

struct z_stream_s;

namespace compression {

// One zlib deflate stream writing gzip (RFC 1952): zlib's default level, 32 KiB window, memory
// level 8, default strategy. Chunks are fed in order; the chunk fed with shouldFinish true ends
// the stream and writes the gzip trailer. Thread: one thread at a time (the request that owns
// it). Owns its zlib stream, released by closeStream() or destruction.
class DataCompressor {
 public:
  // A compressor whose stream is not set up yet (streamReady() false).
  DataCompressor();
  // Closes the stream if it is still ready; the error of that close is dropped.
  ~DataCompressor();
  DataCompressor(const DataCompressor&) = delete;
  DataCompressor& operator=(const DataCompressor&) = delete;

  // A new compressor with its stream already set up. Never null; if zlib could not set up the
  // stream the object reports streamReady() false.
  static std::shared_ptr<DataCompressor> compressor();

  // Sets up the zlib stream. Does nothing when the stream is ready already. Returns null on
  // success, else the error; the stream stays not ready.
  platform::ErrorPtr setupStream();
  // Releases the zlib stream. Does nothing when the stream is not ready. The stream is not ready
  // afterwards in any case; returns null or the error zlib reported (a stream closed before it
  // was finished reports status -3).
  platform::ErrorPtr closeStream();
  // True between a successful setupStream() and closeStream().
  bool streamReady() const { return streamReady_; }

  // Deflates the next `length` bytes and returns the gzip bytes that are ready, possibly none yet
  // (an empty, non-null array). With `shouldFinish` the stream is ended: everything still held
  // is written, then the gzip trailer. A length of 0 returns a null array and no error, and does
  // not finish the stream. On failure (a stream not ready or already finished, a negative
  // length) the result is a null array and `*error` (when given) receives a code-11 error
  // "Compression of data failed with code <zlib status>".
  QByteArray compressBytes(const char* bytes, qsizetype length, platform::ErrorPtr* error = nullptr,
                           bool shouldFinish = false);

  // `data` as one complete gzip stream. Empty input gives a null array and no error; on failure
  // a null array and `*error` set when given.
  static QByteArray compressData(const QByteArray& data, platform::ErrorPtr* error = nullptr);

  // Deflates the file at `sourcePath` into a complete gzip file at `destinationPath`, in 256 KiB
  // blocks, whatever the source's size. True on success. The destination is replaced only by a
  // complete result; on failure it is left as it was (or not created) and `*error` (when given)
  // holds a code-11 error: "Compression of <source> failed because we were to create a file at
  // <destination>", "Compression of <source> failed the file does not exist", "... failed
  // because we were unable to read from the source data file", "... failed because we were
  // unable to write to the destination data file at <destination>", or the deflate error. An
  // empty source gives an empty destination, as the one-shot form gives nothing for empty input.
  static bool compressDataFromFile(const QString& sourcePath, const QString& destinationPath,
                                   platform::ErrorPtr* error = nullptr);

  // The error for zlib status `code`: code 11, "Compression of data failed with code <code>".
  static platform::ErrorPtr deflateErrorWithCode(int code);

 private:
  // Deflates `length` bytes (none allowed) with zlib flush mode `flush` and returns the output,
  // or a null array with `*error` set.
  QByteArray deflateInput(const unsigned char* input, qsizetype length, int flush,
                          platform::ErrorPtr* error);

  std::unique_ptr<z_stream_s> zStream_;  // zlib's state; live while streamReady_
  bool streamReady_ = false;             // between a successful setupStream and closeStream
  bool fed_ = false;                     // some input has been deflated since set-up
  bool finished_ = false;                // the gzip trailer has been written
};

}  // namespace compression
