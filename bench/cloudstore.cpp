// cloudstore: a command-line client of the two cloud storage request families, for trying them
// against a store and for the end-to-end tests. Configured by environment variables; every
// request runs synchronously; a failure prints the engine's code and text and exits with 1.
#include "cloud/cloudfiles/cloudfiles_cdn_request.h"
#include "cloud/cloudfiles/cloudfiles_container_request.h"
#include "cloud/cloudfiles/cloudfiles_object_request.h"
#include "cloud/s3/s3_bucket_request.h"
#include "cloud/s3/s3_object_request.h"
#include "cloud/s3/s3_service_request.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

namespace {



const char* kUsage =
    "usage: cloudstore s3 ls [BUCKET [PREFIX]] | mb BUCKET | rb BUCKET\n"
    "                     | put FILE BUCKET/KEY [--acl POLICY] | get BUCKET/KEY FILE\n"
    "                     | cp BUCKET/KEY BUCKET/KEY | rm BUCKET/KEY | head BUCKET/KEY\n"
    "         (S3_HOST host or host:port, S3_ACCESS_KEY, S3_SECRET_KEY, S3_PATH_STYLE=1)\n"
    "       cloudstore cf auth | ls [CONTAINER] | mk CONTAINER | rm CONTAINER[/OBJECT]\n"
    "                     | put FILE CONTAINER/OBJECT [--meta K=V]... | get CONTAINER/OBJECT FILE\n"
    "                     | meta CONTAINER/OBJECT K=V... | head CONTAINER[/OBJECT]\n"
    "                     | cdn ls | cdn enable CONTAINER [TTL] | cdn disable CONTAINER\n"
    "                     | cdn head CONTAINER\n"
    "         (CF_AUTH_URL, CF_USER, CF_KEY)\n";

void out(const QString& line) { std::printf("%s\n", qPrintable(line)); }

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Runs `request` and reports a failure; true when it succeeded. Cloud Files answers refusals
// with a status only: 400 and above count as failures here.
bool run(const std::shared_ptr<http::HTTPRequest>& request) {
  request->startSynchronous();
  if (const auto& error = request->error()) {
    std::fprintf(stderr, "error: code %lld: %s\n", static_cast<long long>(error->code()),
                 qPrintable(error->localizedDescription()));
    return false;
  }
  if (request->responseStatusCode() >= 400) {
    std::fprintf(stderr, "error: HTTP status %d\n", request->responseStatusCode());
    return false;
  }
  return true;
}

// "bucket/key" split at the first "/"; false when there is no key.
bool splitPath(const QString& path, QString* first, QString* rest, bool restRequired = true) {
  const qsizetype slash = path.indexOf(QLatin1Char('/'));
  *first = slash < 0 ? path : path.left(slash);
  *rest = slash < 0 ? QString() : path.mid(slash + 1);
  return !first->isEmpty() && (!restRequired || !rest->isEmpty());
}

// Runs a download into `path` through a file beside it, so a refusal (whose error document the
// engine stores like any body) never replaces what was at `path`.
bool runDownload(const std::shared_ptr<http::HTTPRequest>& request, const QString& path) {
  const QString partial = path + QStringLiteral(".part");
  request->setDownloadDestinationPath(partial);
  request->setTimeOutSeconds(60);
  const bool ok = run(request);
  if (!ok) {
    QFile::remove(partial);
    return false;
  }
  QFile::remove(path);
  if (!QFile::rename(partial, path)) {
    std::fprintf(stderr, "error: cannot move the download to %s\n", qPrintable(path));
    return false;
  }
  return true;
}

void printHeaders(const http::HTTPRequest& request) {
  out(QStringLiteral("status %1").arg(request.responseStatusCode()));
  const platform::StringMap headers = request.responseHeaders().value_or(platform::StringMap());
  for (auto it = headers.cbegin(); it != headers.cend(); ++it) out(it.key() + QStringLiteral(": ") + it.value());
}

// ---- S3 --------------------------------------------------------------------------------------------

int runS3(const QStringList& a) {
  using namespace cloud::s3;
  S3Request::setS3Host(qEnvironmentVariable("S3_HOST", QStringLiteral("127.0.0.1")));
  S3Request::setSharedAccessKey(qEnvironmentVariable("S3_ACCESS_KEY"));
  S3Request::setSharedSecretAccessKey(qEnvironmentVariable("S3_SECRET_KEY"));
  S3Request::setUsesPathStyleAddressing(qEnvironmentVariable("S3_PATH_STYLE") == QLatin1String("1"));
  if (a.isEmpty()) return usage();
  const QString& cmd = a[0];
  QString bucket, key;
  if (cmd == QLatin1String("ls") && a.size() == 1) {
    auto request = S3ServiceRequest::serviceRequest();
    if (!run(request)) return 1;
    for (const auto& b : request->buckets()) out(b->name);
    return 0;
  }
  if (cmd == QLatin1String("ls") && a.size() <= 3) {
    // One page at a time: only the current page's listing is held.
    QString marker;
    for (;;) {
      auto request = S3BucketRequest::requestWithBucket(a[1]);
      if (a.size() == 3) request->setPrefix(a[2]);
      request->setMarker(marker);
      request->setMaxResultCount(1000);
      if (!run(request)) return 1;
      for (const auto& o : request->objects()) out(QStringLiteral("%1\t%2").arg(o->size).arg(o->key));
      if (!request->isTruncated() || request->objects().isEmpty()) return 0;
      marker = request->objects().last()->key;
    }
  }
  if ((cmd == QLatin1String("mb") || cmd == QLatin1String("rb")) && a.size() == 2) {
    auto request = cmd == QLatin1String("mb") ? S3BucketRequest::PUTRequestWithBucket(a[1])
                                              : S3BucketRequest::DELETERequestWithBucket(a[1]);
    return run(request) ? 0 : 1;
  }
  if (cmd == QLatin1String("put") && (a.size() == 3 || (a.size() == 5 && a[3] == QLatin1String("--acl")))) {
    if (!splitPath(a[2], &bucket, &key)) return usage();
    auto request = S3ObjectRequest::PUTRequestForFile(a[1], bucket, key);
    if (a.size() == 5) request->setAccessPolicy(a[4]);
    request->setTimeOutSeconds(60);
    return run(request) ? 0 : 1;
  }
  if (cmd == QLatin1String("get") && a.size() == 3) {
    if (!splitPath(a[1], &bucket, &key)) return usage();
    return runDownload(S3ObjectRequest::requestWithBucket(bucket, key), a[2]) ? 0 : 1;
  }
  if (cmd == QLatin1String("cp") && a.size() == 3) {
    QString toBucket, toKey;
    if (!splitPath(a[1], &bucket, &key) || !splitPath(a[2], &toBucket, &toKey)) return usage();
    return run(S3ObjectRequest::COPYRequestFromBucket(bucket, key, toBucket, toKey)) ? 0 : 1;
  }
  if ((cmd == QLatin1String("rm") || cmd == QLatin1String("head")) && a.size() == 2) {
    if (!splitPath(a[1], &bucket, &key)) return usage();
    if (cmd == QLatin1String("rm")) return run(S3ObjectRequest::DELETERequestWithBucket(bucket, key)) ? 0 : 1;
    auto request = S3ObjectRequest::HEADRequestWithBucket(bucket, key);
    if (!run(request)) return 1;
    printHeaders(*request);
    return 0;
  }
  return usage();
}

// ---- Cloud Files -------------------------------------------------------------------------------------

QMap<QString, QString> parseMeta(const QStringList& pairs) {
  QMap<QString, QString> meta;
  for (const QString& pair : pairs) {
    const qsizetype eq = pair.indexOf(QLatin1Char('='));
    if (eq > 0) meta.insert(pair.left(eq), pair.mid(eq + 1));
  }
  return meta;
}

int cdn(const QStringList& a) {
  using namespace cloud::cloudfiles;
  if (a.size() == 2 && a[1] == QLatin1String("ls")) {
    auto request = CloudFilesCDNRequest::listRequest();
    if (!run(request)) return 1;
    for (const auto& c : request->containers()) {
      out(QStringLiteral("%1\t%2\t%3").arg(c->name, c->cdnEnabled ? QStringLiteral("enabled") : QStringLiteral("disabled")).arg(c->ttl));
    }
    return 0;
  }
  if (a.size() >= 3 && a[1] == QLatin1String("enable")) {
    auto request = a.size() == 4 ? CloudFilesCDNRequest::putRequestWithContainer(a[2], a[3].toInt())
                                 : CloudFilesCDNRequest::putRequestWithContainer(a[2]);
    if (!run(request)) return 1;
    out(request->cdnURI());
    return 0;
  }
  if (a.size() == 3 && a[1] == QLatin1String("disable")) {
    return run(CloudFilesCDNRequest::postRequestWithContainer(a[2], false, 0)) ? 0 : 1;
  }
  if (a.size() == 3 && a[1] == QLatin1String("head")) {
    auto request = CloudFilesCDNRequest::containerInfoRequest(a[2]);
    if (!run(request)) return 1;
    out(QStringLiteral("enabled %1\nttl %2\nuri %3\nssl-uri %4")
            .arg(request->cdnEnabled() ? QStringLiteral("yes") : QStringLiteral("no"))
            .arg(request->cdnTTL())
            .arg(request->cdnURI(), request->cdnSSLURI()));
    return 0;
  }
  return usage();
}

int runCloudFiles(const QStringList& a) {
  using namespace cloud::cloudfiles;
  CloudFilesRequest::setAuthenticationURL(QUrl(qEnvironmentVariable("CF_AUTH_URL")));
  CloudFilesRequest::setUsername(qEnvironmentVariable("CF_USER"));
  CloudFilesRequest::setApiKey(qEnvironmentVariable("CF_KEY"));
  if (a.isEmpty()) return usage();
  if (const auto error = CloudFilesRequest::authenticate()) {
    std::fprintf(stderr, "error: code %lld: %s\n", static_cast<long long>(error->code()),
                 qPrintable(error->localizedDescription()));
    return 1;
  }
  const QString& cmd = a[0];
  QString container, object;
  if (cmd == QLatin1String("auth") && a.size() == 1) {
    // The token is a credential: it is not printed.
    out(QStringLiteral("storage %1").arg(CloudFilesRequest::storageURL()));
    out(QStringLiteral("cdn %1").arg(CloudFilesRequest::cdnManagementURL()));
    return 0;
  }
  if (cmd == QLatin1String("ls") && a.size() == 1) {
    QString marker;
    for (;;) {
      auto request = CloudFilesContainerRequest::listRequestWithLimit(1000, marker);
      if (!run(request)) return 1;
      const auto containers = request->containers();
      for (const auto& c : containers) out(QStringLiteral("%1\t%2\t%3").arg(c->name).arg(c->count).arg(c->bytes));
      if (containers.size() < 1000) return 0;
      marker = containers.last()->name;
    }
  }
  if (cmd == QLatin1String("ls") && a.size() == 2) {
    QString marker;
    for (;;) {
      auto request = CloudFilesObjectRequest::listRequestWithContainer(a[1], 1000, marker, QString(), QString());
      if (!run(request)) return 1;
      const auto objects = request->objects();
      for (const auto& o : objects) out(QStringLiteral("%1\t%2").arg(o->bytes).arg(o->name));
      if (objects.size() < 1000) return 0;
      marker = objects.last()->name;
    }
  }
  if (cmd == QLatin1String("mk") && a.size() == 2) {
    return run(CloudFilesContainerRequest::createContainerRequest(a[1])) ? 0 : 1;
  }
  if (cmd == QLatin1String("rm") && a.size() == 2) {
    splitPath(a[1], &container, &object, false);
    if (object.isEmpty()) return run(CloudFilesContainerRequest::deleteContainerRequest(container)) ? 0 : 1;
    return run(CloudFilesObjectRequest::deleteObjectRequestWithContainer(container, object)) ? 0 : 1;
  }
  if (cmd == QLatin1String("put") && a.size() >= 3) {
    if (!splitPath(a[2], &container, &object)) return usage();
    QStringList pairs;
    for (qsizetype i = 3; i + 1 < a.size(); i += 2) {
      if (a[i] != QLatin1String("--meta")) return usage();
      pairs << a[i + 1];
    }
    QString type = http::HTTPRequest::mimeTypeForFileAtPath(a[1]);
    if (type.isEmpty()) type = QStringLiteral("application/octet-stream");
    auto request = CloudFilesObjectRequest::putObjectRequestWithContainerFile(container, object, type, a[1],
                                                                              parseMeta(pairs), QString());
    request->setTimeOutSeconds(60);
    return run(request) ? 0 : 1;
  }
  if (cmd == QLatin1String("get") && a.size() == 3) {
    if (!splitPath(a[1], &container, &object)) return usage();
    return runDownload(CloudFilesObjectRequest::getObjectRequestWithContainer(container, object), a[2]) ? 0 : 1;
  }
  if (cmd == QLatin1String("meta") && a.size() >= 3) {
    if (!splitPath(a[1], &container, &object)) return usage();
    return run(CloudFilesObjectRequest::postObjectRequestWithContainer(container, object, parseMeta(a.mid(2)))) ? 0 : 1;
  }
  if (cmd == QLatin1String("head") && a.size() == 2) {
    splitPath(a[1], &container, &object, false);
    if (object.isEmpty()) {
      auto request = CloudFilesObjectRequest::containerInfoRequest(container);
      if (!run(request)) return 1;
      out(QStringLiteral("objects %1\nbytes %2").arg(request->containerObjectCount()).arg(request->containerBytesUsed()));
      return 0;
    }
    auto request = CloudFilesObjectRequest::objectInfoRequest(container, object);
    if (!run(request)) return 1;
    const auto record = request->object();
    out(QStringLiteral("name %1\nbytes %2\ntype %3\nhash %4").arg(record->name).arg(record->bytes).arg(record->contentType, record->hash));
    for (auto it = record->metadata.cbegin(); it != record->metadata.cend(); ++it) {
      out(QStringLiteral("meta %1=%2").arg(it.key(), it.value()));
    }
    return 0;
  }
  if (cmd == QLatin1String("cdn")) return cdn(a);
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("cloudstore"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty()) return usage();
  const QString service = args.takeFirst();
  if (service == QLatin1String("s3")) return runS3(args);
  if (service == QLatin1String("cf")) return runCloudFiles(args);
  return usage();
}
