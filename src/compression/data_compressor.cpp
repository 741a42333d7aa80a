// The streaming deflater: zlib's deflate writing a gzip wrapper, with an output buffer grown by
// doubling from half the input's size, and a file form that always finishes its stream.
#include "compression/data_compressor.h"

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

// Set-up parameters (zlib.h, deflateInit2): zlib's default level, the deflate method, a 32 KiB
// window (15) with a gzip header and trailer instead of zlib's (+16), memory level 8.
constexpr int kLevel = Z_DEFAULT_COMPRESSION;
constexpr int kMethod = Z_DEFLATED;
constexpr int kWindowBits = 15 + 16;
constexpr int kMemoryLevel = 8;
constexpr int kStrategy = Z_DEFAULT_STRATEGY;

const QString& verb() {
  static const QString text = QStringLiteral("Compression");
  return text;
}

}  // namespace

DataCompressor::DataCompressor() : zStream_(std::make_unique<z_stream>()) {}

DataCompressor::~DataCompressor() { closeStream(); }

std::shared_ptr<DataCompressor> DataCompressor::compressor() {
  auto object = std::make_shared<DataCompressor>();
  object->setupStream();
  return object;
}

platform::ErrorPtr DataCompressor::setupStream() {
  if (streamReady_) return nullptr;
  // zlib's own allocation (null allocator, free function and opaque pointer), no input yet.
  *zStream_ = z_stream{};
  const int status =
      deflateInit2(zStream_.get(), kLevel, kMethod, kWindowBits, kMemoryLevel, kStrategy);
  if (status != Z_OK) return deflateErrorWithCode(status);
  streamReady_ = true;
  fed_ = false;
  finished_ = false;
  return nullptr;
}

platform::ErrorPtr DataCompressor::closeStream() {
  if (!streamReady_) return nullptr;
  streamReady_ = false;
  const int status = deflateEnd(zStream_.get());
  return status == Z_OK ? nullptr : deflateErrorWithCode(status);
}

platform::ErrorPtr DataCompressor::deflateErrorWithCode(int code) {
  return makeZlibError(verb(), code, nullptr);
}

QByteArray DataCompressor::compressBytes(const char* bytes, qsizetype length,
                                         platform::ErrorPtr* error, bool shouldFinish) {
  if (length == 0) return {};
  // A finished stream takes no more input: refuse rather than let the bytes vanish.
  if (!streamReady_ || finished_ || length < 0 || bytes == nullptr) {
    if (error != nullptr) *error = deflateErrorWithCode(Z_STREAM_ERROR);
    return {};
  }
  fed_ = true;
  return deflateInput(reinterpret_cast<const unsigned char*>(bytes), length,
                      shouldFinish ? Z_FINISH : Z_NO_FLUSH, error);
}

QByteArray DataCompressor::deflateInput(const unsigned char* input, qsizetype length, int flush,
                                        platform::ErrorPtr* error) {
  z_stream& z = *zStream_;
  // Half the input's size to start with, but never so little that there is no room at all.
  QByteArray out(std::max(length / 2, kMinOutputSize), Qt::Uninitialized);
  qsizetype produced = 0;
  z.next_in = input;
  z.avail_in = 0;
  qsizetype remaining = length;  // input not yet handed to zlib
  for (;;) {
    if (z.avail_in == 0 && remaining > 0) {
      const qsizetype slice = std::min(remaining, kMaxZlibSlice);
      z.avail_in = static_cast<uInt>(slice);
      remaining -= slice;
    }
    // Finishing may only start once the last input is handed over.
    const int stepFlush = remaining > 0 ? Z_NO_FLUSH : flush;
    if (produced == out.size()) growOutput(out);
    z.next_out = reinterpret_cast<Bytef*>(out.data()) + produced;
    z.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxZlibSlice));
    const int status = deflate(&z, stepFlush);
    produced = reinterpret_cast<char*>(z.next_out) - out.data();
    if (status == Z_STREAM_END) {
      finished_ = true;
      break;
    }
    const bool inputTaken = z.avail_in == 0 && remaining == 0;
    // Without finishing, "no progress possible" once all input is taken just means done.
    if (status == Z_BUF_ERROR && inputTaken && stepFlush == Z_NO_FLUSH) break;
    if (status != Z_OK) {
      if (error != nullptr) *error = makeZlibError(verb(), status, z.msg);
      return {};
    }
    // Finishing goes on until the trailer is out; otherwise stop once all input is taken and
    // deflate left output room unused (it has written all it can).
    if (stepFlush == Z_NO_FLUSH && inputTaken && z.avail_out != 0) break;
  }
  return takeOutput(out, produced);
}

QByteArray DataCompressor::compressData(const QByteArray& data, platform::ErrorPtr* error) {
  if (data.isEmpty()) return {};
  DataCompressor compressor;
  if (auto failure = compressor.setupStream()) {
    if (error != nullptr) *error = std::move(failure);
    return {};
  }
  return compressor.compressBytes(data.constData(), data.size(), error, true);
}

bool DataCompressor::compressDataFromFile(const QString& sourcePath, const QString& destinationPath,
                                          platform::ErrorPtr* error) {
  DataCompressor compressor;
  auto transform = [&compressor](const char* bytes, qsizetype length, bool last, QByteArray& out,
                                 platform::ErrorPtr* stepError) {
    out = QByteArray();
    if (!compressor.streamReady_) {
      // Set up here, after the destination and source checks, so their errors come first.
      if (auto failure = compressor.setupStream()) {
        if (stepError != nullptr) *stepError = std::move(failure);
        return false;
      }
    }
    if (!last) {
      out = compressor.compressBytes(bytes, length, stepError, false);
      return !out.isNull();
    }
    // The source has ended. Finish the stream with no further input, so the trailer is written
    // also when the size is a whole number of blocks; an empty source stays empty.
    if (compressor.fed_ && !compressor.finished_) {
      out = compressor.deflateInput(nullptr, 0, Z_FINISH, stepError);
      if (out.isNull()) return false;
    }
    if (auto failure = compressor.closeStream()) {
      if (stepError != nullptr) *stepError = std::move(failure);
      return false;
    }
    return true;
  };
  return detail::transcodeFile(verb(), sourcePath, destinationPath, transform, error);
}

}  // namespace compression
