// fetch options for the response cache: --cache DIR (a cache stored in DIR, shared by every
// request of the call), --cache-policy N, --cache-storage 0|1, --seconds-to-cache N. The
// summary line gains cached=<1 when the request was answered from the cache, else 0>.
#include "fetch_feature.h"

#include "cache/download_cache.h"
#include "platform/error.h"

#include <QDir>

namespace {

const QCommandLineOption kCacheOption(QStringLiteral("cache"),
                                      QStringLiteral("Use a response cache stored in DIR."),
                                      QStringLiteral("DIR"));
const QCommandLineOption kPolicyOption(QStringLiteral("cache-policy"),
                                       QStringLiteral("Cache policy flags N (default 0: the cache's own)."),
                                       QStringLiteral("N"), QStringLiteral("0"));
const QCommandLineOption kStorageOption(QStringLiteral("cache-storage"),
                                        QStringLiteral("Store for this session (0) or permanently (1)."),
                                        QStringLiteral("0|1"), QStringLiteral("0"));
const QCommandLineOption kSecondsOption(QStringLiteral("seconds-to-cache"),
                                        QStringLiteral("Keep stored responses current for N seconds."),
                                        QStringLiteral("N"), QStringLiteral("0"));

class CacheFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override {
    return {kCacheOption, kPolicyOption, kStorageOption, kSecondsOption};
  }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    bool ok = true;
    policy_ = parser.value(kPolicyOption).toInt(&ok);
    if (!ok) return fail(error, "--cache-policy wants a number");
    storage_ = parser.value(kStorageOption).toInt(&ok);
    if (!ok || (storage_ != 0 && storage_ != 1)) return fail(error, "--cache-storage wants 0 or 1");
    seconds_ = parser.value(kSecondsOption).toDouble(&ok);
    if (!ok) return fail(error, "--seconds-to-cache wants a number");
    if (!parser.isSet(kCacheOption)) return true;
    cache_ = std::make_shared<cache::DownloadCache>();
    try {
      cache_->setStoragePath(QDir(parser.value(kCacheOption)).absolutePath());
    } catch (const platform::NamedException& e) {
      *error = e.name() + QStringLiteral(": ") + e.reason();
      return false;
    }
    return true;
  }

  void prepare(http::HTTPRequest& request, const QCommandLineParser&) override {
    if (!cache_) return;
    request.setDownloadCache(cache_);
    request.setCachePolicy(policy_);
    request.setCacheStoragePolicy(storage_);
    request.setSecondsToCache(seconds_);
  }

  void summarize(const http::HTTPRequest& request, QByteArray* line) const override {
    addField(line, "cached", request.didUseCachedResponse() ? 1 : 0);
  }

 private:
  static bool fail(QString* error, const char* text) {
    *error = QString::fromLatin1(text);
    return false;
  }

  std::shared_ptr<cache::DownloadCache> cache_;  // held for every request of the call
  int policy_ = 0;
  int storage_ = 0;
  double seconds_ = 0;
};

FETCH_FEATURE(CacheFeature);

}  // namespace
