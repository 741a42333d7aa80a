// Gzip bodies that inflate to far more than they weigh: to a file they inflate in bounded memory,
// in memory a body that cannot be allocated fails the request instead of ending the process.
#include "http/http_request.h"

#include "compression/data_compressor.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UPDATER_UNDER_SANITIZER 1
#endif

namespace {

using http::HTTPRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

constexpr qint64 kMiB = 1 << 20;

// `members` gzip members of 1 MiB of zeros each: about 1 KiB apiece on the wire.
QByteArray gzipBomb(int members) {
  const QByteArray member = compression::DataCompressor::compressData(QByteArray(kMiB, '\0'));
  QByteArray out;
  out.reserve(member.size() * members);
  for (int i = 0; i < members; ++i) out += member;
  return out;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmSize").
qint64 statusKiB(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (line.startsWith(field)) return line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLongLong();
  }
  return 0;
}

qint64 peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(GzipMemoryTest, ADownloadToAFileInflatesInBoundedMemory) {
#ifdef UPDATER_UNDER_SANITIZER
  GTEST_SKIP() << "a sanitizer's own bookkeeping hides the engine's memory use";
#endif
  const int inflatedMiB = 128;
  TestHttpServer server;
  server.route("/bomb", HttpResponse::ok(gzipBomb(inflatedMiB)).withHeader("Content-Encoding", "gzip"));
  for (const bool onTheFly : {true, false}) {
    SCOPED_TRACE(onTheFly ? "inflated on the fly" : "inflated at the end");
    testsupport::TempDir dir;
    const QString destination = QString::fromStdString((dir / "out").string());
    const qint64 residentBefore = statusKiB("VmRSS");
    auto request = HTTPRequest::requestWithURL(server.url("/bomb"));
    request->setShouldWaitToInflateCompressedResponses(!onTheFly);
    request->setDownloadDestinationPath(destination);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    EXPECT_LT(peakResidentKiB() - residentBefore, 48 * 1024) << "KiB above the resident size before";
    EXPECT_EQ(QFileInfo(destination).size(), inflatedMiB * kMiB);
  }
}

TEST(GzipMemoryTest, AnInMemoryBodyThatCannotBeAllocatedFailsTheRequest) {
#ifdef UPDATER_UNDER_SANITIZER
  GTEST_SKIP() << "address-space limits and sanitizers do not mix";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto fetchUnderALimit = [] {
    TestHttpServer server;
    server.route("/bomb", HttpResponse::ok(gzipBomb(2048)).withHeader("Content-Encoding", "gzip"));
    // Room for the process as it is and 768 MiB more: the 2 GiB body cannot fit.
    const auto limit = static_cast<rlim_t>(statusKiB("VmSize") * 1024 + 768 * kMiB);
    rlimit addressSpace{};
    addressSpace.rlim_cur = limit;
    addressSpace.rlim_max = limit;
    setrlimit(RLIMIT_AS, &addressSpace);
    auto request = HTTPRequest::requestWithURL(server.url("/bomb"));
    request->setShouldWaitToInflateCompressedResponses(false);
    request->startSynchronous();
    std::_Exit(request->error() ? static_cast<int>(request->error()->code()) : 0);
  };
  EXPECT_EXIT(fetchUnderALimit(), testing::ExitedWithCode(http::CompressionError), "");
}

}  // namespace
