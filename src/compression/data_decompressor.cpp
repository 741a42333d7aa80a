// The streaming inflater: zlib's inflate with automatic header detection, an output buffer sized
// from the ratio seen so far and grown by doubling, and gzip members inflated one after another.
#include "compression/data_decompressor.h"

#include "compression/compression_errors.h"
#include "compression/file_transcoder.h"
#include "compression/output_buffer.h"

#include <zlib.h>

#include <algorithm>

namespace compression {
namespace {

using detail::growOutput;
using detail::kMaxZlibSlice;
using detail::kMinOutputSize;
using detail::takeOutput;

// 15: a 32 KiB window; +32: a zlib (RFC 1950) or gzip (RFC 1952) header is detected (zlib.h,
// inflateInit2).
constexpr int kWindowBits = 15 + 32;
// A gzip member begins with ID1 = 0x1f, ID2 = 0x8b (RFC 1952, 2.3.1).
constexpr unsigned char kGzipMagic[2] = {0x1f, 0x8b};
// A guess from earlier chunks never reserves more than this up front; real output still grows.
constexpr qsizetype kMaxOutputGuess = qsizetype(64) << 20;

const QString& verb() {
  static const QString text = QStringLiteral("Decompression");
  return text;
}

}  // namespace

DataDecompressor::DataDecompressor() : zStream_(std::make_unique<z_stream>()) {}

DataDecompressor::~DataDecompressor() { closeStream(); }

std::shared_ptr<DataDecompressor> DataDecompressor::decompressor() {
  auto object = std::make_shared<DataDecompressor>();
  object->setupStream();
  return object;
}

platform::ErrorPtr DataDecompressor::setupStream() {
  if (streamReady_) return nullptr;
  // zlib's own allocation (null allocator, free function and opaque pointer), no input yet.
  *zStream_ = z_stream{};
  const int status = inflateInit2(zStream_.get(), kWindowBits);
  if (status != Z_OK) return inflateErrorWithCode(status);
  streamReady_ = true;
  phase_ = Phase::InMember;
  memberStarted_ = false;
  gzipMember_ = false;
  magicPending_ = false;
  totalIn_ = 0;
  totalOut_ = 0;
  return nullptr;
}

platform::ErrorPtr DataDecompressor::closeStream() {
  if (!streamReady_) return nullptr;
  streamReady_ = false;
  const int status = inflateEnd(zStream_.get());
  return status == Z_OK ? nullptr : inflateErrorWithCode(status);
}

bool DataDecompressor::streamEnded() const { return phase_ != Phase::InMember; }

platform::ErrorPtr DataDecompressor::inflateErrorWithCode(int code) {
  return makeZlibError(verb(), code, nullptr);
}

QByteArray DataDecompressor::uncompressBytes(const char* bytes, qsizetype length,
                                             platform::ErrorPtr* error) {
  if (length == 0) return {};
  try {
    QByteArray out(streamReady_ && length > 0 ? initialOutputSize(length) : 0, Qt::Uninitialized);
    qsizetype produced = 0;
    if (!inflateChunk(bytes, length, out, &produced, nullptr, error)) return {};
    return takeOutput(out, produced);
  } catch (const std::bad_alloc&) {
    // The output does not fit in memory: a failure like any other, not the end of the process.
    if (error != nullptr) *error = makeZlibError(verb(), Z_MEM_ERROR, "out of memory");
    return {};
  }
}

bool DataDecompressor::uncompressBytes(const char* bytes, qsizetype length, const Sink& sink,
                                       platform::ErrorPtr* error) {
  if (length == 0) return true;
  qint64 emitted = 0;
  const Sink counting = [&emitted, &sink](const char* piece, qsizetype size) {
    emitted += size;
    return sink(piece, size);
  };
  QByteArray out(kOutputPieceBytes, Qt::Uninitialized);
  qsizetype produced = 0;
  const bool ok = inflateChunk(bytes, length, out, &produced, &counting, error) &&
                  (produced == 0 || counting(out.constData(), produced));
  totalOut_ += emitted;
  return ok;
}

bool DataDecompressor::inflateChunk(const char* bytes, qsizetype length, QByteArray& out,
                                    qsizetype* produced, const Sink* sink, platform::ErrorPtr* error) {
  auto fail = [error](int status, const char* zlibMessage) {
    if (error != nullptr) *error = makeZlibError(verb(), status, zlibMessage);
    return false;
  };
  if (!streamReady_ || length < 0 || bytes == nullptr) return fail(Z_STREAM_ERROR, nullptr);
  if (phase_ == Phase::Trailing) return true;

  auto input = reinterpret_cast<const unsigned char*>(bytes);
  qsizetype left = length;
  while (left > 0 && phase_ != Phase::Trailing) {
    qsizetype used = 0;
    int status = Z_OK;
    if (phase_ == Phase::BetweenMembers) {
      used = scanBetweenMembers(input, left, &status);
    } else {
      status = inflateMember(input, left, &used, out, produced, sink);
      if (status == Z_ERRNO && sink != nullptr) return false;  // the sink stopped
      if (status == Z_STREAM_END) {
        // Only gzip has members; after a zlib stream everything is trailing data.
        phase_ = gzipMember_ ? Phase::BetweenMembers : Phase::Trailing;
        magicPending_ = false;
        status = Z_OK;
      }
    }
    if (status != Z_OK) return fail(status, zStream_->msg);
    input += used;
    left -= used;
  }
  totalIn_ += length;
  if (sink == nullptr) totalOut_ += *produced;
  return true;
}

int DataDecompressor::inflateMember(const unsigned char* input, qsizetype length,
                                    qsizetype* consumed, QByteArray& out, qsizetype* produced,
                                    const Sink* sink) {
  z_stream& z = *zStream_;
  if (!memberStarted_) {
    memberStarted_ = true;
    gzipMember_ = input[0] == kGzipMagic[0];
  }
  z.next_in = input;
  z.avail_in = 0;
  qsizetype remaining = length;  // input not yet handed to zlib
  for (;;) {
    if (z.avail_in == 0 && remaining > 0) {
      const qsizetype slice = std::min(remaining, kMaxZlibSlice);
      z.avail_in = static_cast<uInt>(slice);
      remaining -= slice;
    }
    if (*produced == out.size()) {
      if (sink == nullptr) {
        growOutput(out);
      } else {
        if (!(*sink)(out.constData(), *produced)) return Z_ERRNO;
        *produced = 0;
      }
    }
    z.next_out = reinterpret_cast<Bytef*>(out.data()) + *produced;
    z.avail_out = static_cast<uInt>(std::min(out.size() - *produced, kMaxZlibSlice));
    const int status = inflate(&z, Z_NO_FLUSH);
    *produced = reinterpret_cast<char*>(z.next_out) - out.data();
    const bool inputTaken = z.avail_in == 0 && remaining == 0;
    if (status == Z_STREAM_END) {
      *consumed = length - remaining - z.avail_in;
      return Z_STREAM_END;
    }
    // No progress possible with all input taken: the output is complete for now.
    if (status == Z_BUF_ERROR && inputTaken) break;
    if (status != Z_OK) return status;
    // A full output buffer may hide more output even when all input was taken: go round again.
    if (inputTaken && z.avail_out != 0) break;
  }
  *consumed = length;
  return Z_OK;
}

qsizetype DataDecompressor::scanBetweenMembers(const unsigned char* input, qsizetype length,
                                               int* status) {
  qsizetype used = 0;
  if (!magicPending_) {
    if (input[0] != kGzipMagic[0]) {
      phase_ = Phase::Trailing;
      return length;
    }
    magicPending_ = true;
    used = 1;
    if (used == length) return used;
  }
  if (input[used] != kGzipMagic[1]) {
    phase_ = Phase::Trailing;
    return length;
  }
  ++used;
  magicPending_ = false;
  // A further member: restart the stream and give it the magic number it begins with (its first
  // byte may have come in an earlier chunk). A header alone produces no output.
  z_stream& z = *zStream_;
  *status = inflateReset2(&z, kWindowBits);
  if (*status != Z_OK) return used;
  unsigned char unused = 0;
  z.next_in = kGzipMagic;
  z.avail_in = sizeof kGzipMagic;
  z.next_out = &unused;
  z.avail_out = 1;
  *status = inflate(&z, Z_NO_FLUSH);
  phase_ = Phase::InMember;
  memberStarted_ = true;
  gzipMember_ = true;
  return used;
}

qsizetype DataDecompressor::initialOutputSize(qsizetype length) const {
  const qsizetype floor = length + length / 2;
  if (totalIn_ == 0 || totalOut_ == 0) return std::max(floor, kMinOutputSize);
  // The ratio of the data so far, with an eighth to spare, predicts this chunk's output well for
  // a steady stream, so most chunks need no reallocation at all.
  const double guess = double(length) * double(totalOut_) / double(totalIn_) * 1.25;
  const qsizetype bounded = guess > double(kMaxOutputGuess) ? kMaxOutputGuess : qsizetype(guess);
  return std::max(bounded, kMinOutputSize);
}

QByteArray DataDecompressor::uncompressData(const QByteArray& data, platform::ErrorPtr* error) {
  if (data.isEmpty()) return {};
  DataDecompressor decompressor;
  if (auto failure = decompressor.setupStream()) {
    if (error != nullptr) *error = std::move(failure);
    return {};
  }
  QByteArray out = decompressor.uncompressBytes(data.constData(), data.size(), error);
  if (out.isNull()) return {};
  if (!decompressor.streamEnded()) {
    // The whole input is here, so compressed data that has not ended was cut short.
    if (error != nullptr) *error = makeZlibError(verb(), Z_BUF_ERROR, "unexpected end of file");
    return {};
  }
  return out;
}

bool DataDecompressor::uncompressDataFromFile(const QString& sourcePath,
                                              const QString& destinationPath,
                                              platform::ErrorPtr* error) {
  DataDecompressor decompressor;
  // The output of each block goes to the file in pieces as it is made: a small source may
  // inflate to far more than memory holds.
  const detail::StreamingTransform transform = [&decompressor](const char* bytes, qsizetype length,
                                                               bool last,
                                                               const detail::OutputWriter& write,
                                                               platform::ErrorPtr* stepError) {
    if (!decompressor.streamReady_) {
      // Set up here, after the destination and source checks, so their errors come first.
      if (auto failure = decompressor.setupStream()) {
        if (stepError != nullptr) *stepError = std::move(failure);
        return false;
      }
    }
    if (length > 0 && !decompressor.uncompressBytes(bytes, length, write, stepError)) return false;
    if (!last) return true;
    if (decompressor.totalIn_ > 0 && !decompressor.streamEnded()) {
      if (stepError != nullptr) {
        *stepError = makeZlibError(verb(), Z_BUF_ERROR, "unexpected end of file");
      }
      return false;
    }
    if (auto failure = decompressor.closeStream()) {
      if (stepError != nullptr) *stepError = std::move(failure);
      return false;
    }
    return true;
  };
  return detail::transcodeFile(verb(), sourcePath, destinationPath, transform, error);
}

}  // namespace compression
