// fetch --save-page MODE: the URL is fetched as a web page with every resource it names.
//   MODE 0  the page is kept as received
//   MODE 1  every resource is embedded in the page as a data: URL (one self-contained file)
//   MODE 2  the resources are saved beside the page and the page refers to them by relative
//           paths: with -o FILE, in the folder FILE_files/ next to FILE
// In modes 0 and 1 the fetched resources go to a temporary folder that is removed at exit.
// Summary fields: resources=<resources fetched> failed=<resources that failed>.
#include "fetch_feature.h"

#include "webpage/web_page_request.h"

#include <QFileInfo>
#include <QTemporaryDir>

namespace {

const QCommandLineOption kSavePageOption(
    QStringLiteral("save-page"),
    QStringLiteral("Fetch the URL as a web page with all its resources. MODE 0 keeps the page as "
                   "received; 1 embeds every resource as a data: URL; 2 saves the resources in "
                   "FILE_files/ beside the -o FILE and points the page at them. A resource that "
                   "fails is left out and counted."),
    QStringLiteral("MODE"));

class WebPageFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override { return {kSavePageOption}; }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    if (!parser.isSet(kSavePageOption)) return true;
    bool ok = false;
    mode_ = parser.value(kSavePageOption).toInt(&ok);
    if (!ok || mode_ < 0 || mode_ > 2) {
      *error = QStringLiteral("--save-page takes 0, 1 or 2");
      return false;
    }
    return true;
  }

  std::shared_ptr<http::HTTPRequest> makeRequest(const QUrl& url, const QCommandLineParser& parser) override {
    if (!parser.isSet(kSavePageOption)) return nullptr;
    auto page = webpage::WebPageRequest::requestWithURL(url);
    page->setURLReplacementMode(mode_);
    page->setShouldIgnoreExternalResourceErrors(false);
    // The driver shows no progress bar: counting whole requests spares every resource the HEAD
    // request that measures it for byte-accurate progress.
    page->setShowAccurateProgress(false);
    if (parser.isSet(QStringLiteral("o")) && mode_ == webpage::ReplaceURLsWithRelativePaths) {
      page->setResourceFolder(QFileInfo(parser.value(QStringLiteral("o"))).absoluteFilePath() +
                              QStringLiteral("_files"));
    } else {
      if (!scratch_) scratch_ = std::make_unique<QTemporaryDir>();
      page->setResourceFolder(scratch_->path());
    }
    return page;
  }

  void summarize(const http::HTTPRequest& request, QByteArray* line) const override {
    auto* page = dynamic_cast<const webpage::WebPageRequest*>(&request);
    if (!page) return;
    addField(line, "resources", page->resourcesFetched());
    addField(line, "failed", page->resourcesFailed());
  }

 private:
  int mode_ = 0;
  std::unique_ptr<QTemporaryDir> scratch_;  // resources of modes 0 and 1, removed at exit
};

FETCH_FEATURE(WebPageFeature);

}  // namespace
