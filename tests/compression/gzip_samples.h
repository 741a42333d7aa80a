// Test data for the compression suites: reproducible sample bytes, and gzip, zlib and raw
// deflate data made by producers independent of the code under test.
#pragma once

#include <QByteArray>

#include <string>

namespace compressiontest {

// `size` bytes that mix compressible text-like runs with stretches of random bytes; the same
// `seed` gives the same bytes.
QByteArray sampleData(qsizetype size, unsigned seed = 1);

// What the gzip command-line tool writes to standard output when given `input` on standard input
// with `arguments` (such as "-c" or "-dc"). Sets `*exitCode` when given; fails the test when the
// tool cannot be run.
QByteArray runGzip(const QByteArray& input, const std::string& arguments, int* exitCode = nullptr);

// `data` wrapped as zlib data (RFC 1950) and as raw deflate data without any header, by zlib's
// own one-shot calls.
QByteArray zlibWrapped(const QByteArray& data);
QByteArray rawDeflated(const QByteArray& data);

}  // namespace compressiontest
