// Sample bytes and independently produced compressed data: the gzip tool run through the shell,
// zlib's one-shot calls for zlib-wrapped and raw deflate data.
#include "gzip_samples.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <random>
#include <sys/wait.h>

namespace compressiontest {

QByteArray sampleData(qsizetype size, unsigned seed) {
  static const char* const kWords[] = {
      "Interface", "AddOns", "frame", "local ", "function ", "end\n",
      "return ",   "self:",  "-- ",   "\t",     "==",        "nil"};
  std::mt19937 random(seed);
  QByteArray data;
  data.reserve(size);
  while (data.size() < size) {
    if (random() % 8 == 0) {
      for (int i = 0; i < 300 && data.size() < size; ++i) data.append(char(random()));
    } else {
      data.append(kWords[random() % std::size(kWords)]);
    }
  }
  data.truncate(size);
  return data;
}

QByteArray runGzip(const QByteArray& input, const std::string& arguments, int* exitCode) {
  testsupport::TempDir dir;
  const auto in = dir / "in";
  const auto out = dir / "out";
  testsupport::writeFile(in, input.toStdString());
  const std::string command =
      "gzip " + arguments + " < '" + in.string() + "' > '" + out.string() + "' 2>/dev/null";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status)) << command;
  if (exitCode != nullptr) *exitCode = WEXITSTATUS(status);
  return QByteArray::fromStdString(testsupport::readFile(out));
}

QByteArray zlibWrapped(const QByteArray& data) {
  uLongf size = compressBound(uLong(data.size()));
  QByteArray out(qsizetype(size), Qt::Uninitialized);
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                      reinterpret_cast<const Bytef*>(data.constData()), uLong(data.size()),
                      Z_BEST_COMPRESSION),
            Z_OK);
  out.truncate(qsizetype(size));
  return out;
}

QByteArray rawDeflated(const QByteArray& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))), Qt::Uninitialized);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.truncate(qsizetype(z.total_out));
  deflateEnd(&z);
  return out;
}

}  // namespace compressiontest
