// A request for an HTML or CSS document that also fetches the resources the document names
// (style sheets, scripts, images, frames, media) and can rewrite the document to use the fetched
// copies: embedded as data: URLs or as relative paths to files saved beside it.
#pragma once

#include "http/http_request.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <memory>
#include <optional>

namespace queue {
class NetworkQueue;
}

namespace webpage {

class HtmlDocument;
struct PageState;

// What was fetched for one resource URL of a document.
struct ResourceEntry {
  QString contentType;              // the response's Content-Type, or application/octet-stream
  QString dataPath;                 // the file it was saved to (document with a destination)
  std::optional<QByteArray> data;   // its body (document without a destination)
  QString resolvedURL;              // the key resolved against the document's URL
  bool fetchedHere = false;         // this document asked for it (else an earlier one did)
  bool fetched = false;             // the fetch succeeded and the fields above are set
};

// How resource URLs are written back.
enum URLReplacementMode : int {
  LeaveURLsUnchanged = 0,
  ReplaceURLsWithDataURLs = 1,
  ReplaceURLsWithRelativePaths = 2,
};

// A WebPageRequest runs its transfer like any request; when the response is HTML or CSS it then
// parses it (network thread), fetches the resources through a queue of its own whose delegate it
// is (each resource is a WebPageRequest too, so style sheets are scanned in turn), rewrites the
// document on the main thread and only then reports that it has finished. Resource requests
// pass their delegate and progress reports up to the top document's recipients.
// Every resource URL is fetched at most once per page (over http and https only), and documents
// nested deeper than kMaxNestingDepth are passed through without looking at their resources.
// Thread: configure before starting; callbacks on the main thread.
class WebPageRequest : public http::HTTPRequest {
  PLATFORM_OBJECT
 public:
  // Documents this deep below the page are not scanned for resources of their own.
  static constexpr int kMaxNestingDepth = 8;

  explicit WebPageRequest(const QUrl& url);
  ~WebPageRequest() override;
  static std::shared_ptr<WebPageRequest> requestWithURL(const QUrl& url);

  // 0 not parsed, 1 HTML, 2 CSS.
  int webContentType() const { return webContentType_; }
  const std::shared_ptr<queue::NetworkQueue>& externalResourceQueue() const { return externalResourceQueue_; }
  void setExternalResourceQueue(const std::shared_ptr<queue::NetworkQueue>& queue);
  const QMap<QString, ResourceEntry>& resourceList() const { return resourceList_; }
  void setResourceList(const QMap<QString, ResourceEntry>& list) { resourceList_ = list; }
  const std::shared_ptr<WebPageRequest>& parentRequest() const { return parentRequest_; }
  void setParentRequest(const std::shared_ptr<WebPageRequest>& parent);
  int urlReplacementMode() const { return urlReplacementMode_; }
  void setURLReplacementMode(int mode) { urlReplacementMode_ = mode; }
  bool shouldIgnoreExternalResourceErrors() const { return shouldIgnoreExternalResourceErrors_; }
  void setShouldIgnoreExternalResourceErrors(bool ignore) { shouldIgnoreExternalResourceErrors_ = ignore; }
  // The folder that receives resource bodies when the document has a download destination;
  // empty (the default) means the user's cache folder. Resource requests inherit it.
  const QString& resourceFolder() const { return resourceFolder_; }
  void setResourceFolder(const QString& folder) { resourceFolder_ = folder; }
  // How deep below the page this document is (0 for the page).
  int nestingDepth() const { return nestingDepth_; }

  // Resources of the whole page (this document and every document below it) fetched and failed
  // so far.
  int resourcesFetched() const;
  int resourcesFailed() const;

  // Adds `text` (trimmed) to the resource list unless it is shorter than 5 characters, a
  // data: URL, not a URL relative to this request's URL, not http(s), or listed already. A URL
  // that another document of the page asked for already is listed but not fetched again.
  void addURLToFetch(const QString& text);
  // What a resource URL of the list is written as: a data: URL (mode 1) or the relative path to
  // its saved file (mode 2); nothing when there is nothing to write.
  std::optional<QString> contentForExternalURL(const QString& key) const;
  // Where a resource request's body is saved when this document has a download destination: the
  // path its download cache stores bodies at, else a file named by the MD5 of the URL in the
  // resource folder, keeping the URL's extension.
  QString cachePathForRequest(const http::HTTPRequest& request) const;
  // libxml2's name for the response's text encoding; empty when libxml2 should find it itself.
  QByteArray encodingName() const;

  // Callbacks of the resource queue (main thread).
  void externalResourceFetchSucceeded(const std::shared_ptr<http::HTTPRequest>& request);
  void externalResourceFetchFailed(const std::shared_ptr<http::HTTPRequest>& request);
  void finishedFetchingExternalResources(const std::shared_ptr<queue::NetworkQueue>& queue);

  // Delegate and progress reports of resource requests go up to the top document's recipients.
  bool respondsToSelector(platform::Selector selector) const override;

  // The URLs of every url( reference of a CSS text, in order.
  static QStringList CSSURLsFromString(const QString& css);
  // The relative path from the file `fromPath` to `toPath` (see webpage/relative_path.h).
  static QString relativePathTo(const QString& toPath, const QString& fromPath);

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;
  void requestFinished() override;
  void markAsFinished() override;
  bool forwardInvocation(platform::Selector selector, const platform::Arguments& args) override;

 private:
  void finishAsPlainRequest();
  void serveResourceCallbacks();
  void parseAsHTML();
  void parseAsCSS();
  // Collect / rewrite the URLs of the parsed document (parser lock held); the failure text or
  // empty.
  QString readResourceURLs();
  QString updateResourceURLs();
  void startFetchingResources();
  void rewriteCSS();
  void rewriteHTML();
  void failWithCode(int code, const QString& description, const platform::ErrorPtr& underlying = nullptr);
  // Reads the CSS text from the destination file or the body; false with `*error` on a file error.
  bool readCSS(QString* text, platform::ErrorPtr* error) const;
  void releaseDocument();
  // The recipient a forwarded report goes to on the top document; null when none.
  std::shared_ptr<platform::Object> forwardingTarget(platform::Selector selector) const;
  std::shared_ptr<WebPageRequest> selfPage();
  // The saved file of `url` in the resource folder; `ownExtension` (optional) says whether the
  // name keeps the URL's extension.
  QString resourcePathForURL(const QUrl& url, bool* ownExtension) const;
  // Where another document's copy of the resource `key` will be saved while it is still being
  // fetched; empty when that is not known.
  QString pendingResourcePath(const QString& key) const;
  // Notes the documents waiting for resources other documents of the page are still fetching;
  // true when there is any (main thread).
  bool awaitResourcesOfOtherDocuments();
  // The fetch of `resolvedURL` has ended: documents waiting only for it go on (main thread).
  void resourceSettled(const QString& resolvedURL);
  // The resource's entry with what the page has learnt of its URL.
  const ResourceEntry* fetchedEntry(const QString& key) const;

  std::shared_ptr<queue::NetworkQueue> externalResourceQueue_;
  QMap<QString, ResourceEntry> resourceList_;
  std::unique_ptr<HtmlDocument> doc_;
  int webContentType_ = 0;
  std::shared_ptr<WebPageRequest> parentRequest_;
  int urlReplacementMode_ = LeaveURLsUnchanged;
  bool shouldIgnoreExternalResourceErrors_ = true;
  QString resourceFolder_;
  int nestingDepth_ = 0;
  std::shared_ptr<PageState> page_;              // shared by every document of one page
  std::atomic<bool> resourcesEnded_{false};      // the resource queue has finished
  QSet<QString> awaited_;                        // fetches of other documents waited for (main thread)
};

}  // namespace webpage
