// Shared set-up of the suites that talk to the object store started for the test run: the
// store's addresses, the S3 and Cloud Files class-wide settings pointing at it, unique names.
#pragma once

#include "cloud/cloudfiles/cloudfiles_request.h"
#include "cloud/s3/s3_request.h"
#include "support/swift_peer.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto peer = testsupport::SwiftPeer::read(QStringLiteral(SWIFT_PEER_DIR));
    if (!peer) GTEST_SKIP() << "the object store is not running (started by the swift_peer fixture)";
    peer_ = *peer;
    using cloud::s3::S3Request;
    S3Request::setS3Host(peer_.s3Host());
    S3Request::setSharedAccessKey(QStringLiteral("test:tester"));
    S3Request::setSharedSecretAccessKey(QStringLiteral("testing"));
    S3Request::setUsesPathStyleAddressing(true);
    using cloud::cloudfiles::CloudFilesRequest;
    CloudFilesRequest::setAuthenticationURL(peer_.authURL());
    CloudFilesRequest::setUsername(QStringLiteral("test:tester"));
    CloudFilesRequest::setApiKey(QStringLiteral("testing"));
  }

  // A name no other test of this run uses ("<prefix>-<pid>-<n>", valid as a bucket name).
  static QString uniqueName(const char* prefix) {
    static std::atomic<int> counter{0};
    return QStringLiteral("%1-%2-%3").arg(QLatin1String(prefix)).arg(QCoreApplication::applicationPid()).arg(++counter);
  }

  // Runs `request` on this thread; the error it ended with (null on success).
  template <class R>
  static platform::ErrorPtr run(const std::shared_ptr<R>& request) {
    request->startSynchronous();
    return request->error();
  }

  testsupport::SwiftPeer peer_;
};
