// The web page request: the finish step that parses the document, the resource queue and its
// callbacks, rewriting in the two replacement modes, and passing reports up to the top document.
#include "webpage/web_page_request.h"

#include "http/cache_delegate.h"
#include "http/string_encodings.h"
#include "platform/run_loop.h"
#include "platform/threads.h"
#include "queue/network_queue.h"
#include "webpage/css_scanner.h"
#include "webpage/html_document.h"
#include "webpage/relative_path.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace webpage {

// What every document of one page shares: which resource URLs were asked for, what was fetched
// for them, and the page's counts. Thread: any (guarded by `lock`; the counts are atomic).
struct PageState {
  std::mutex lock;
  QSet<QString> requested;                // resolved URLs some document of the page asked for
  QHash<QString, ResourceEntry> fetched;  // resolved URL -> what its fetch gave
  QSet<QString> failed;                   // resolved URLs whose fetch failed
  // Documents (by resolved URL) that have started fetching resources of their own and have
  // not finished: nobody waits for these, so that waiting can never go round in a circle.
  QSet<QString> documentsFetching;
  // Resolved URL -> documents waiting for its fetch to end before they rewrite.
  QHash<QString, std::vector<std::weak_ptr<WebPageRequest>>> waiters;
  std::atomic<int> fetchedCount{0};
  std::atomic<int> failedCount{0};
};

namespace {

// Error codes and texts of web page archiving (callers compare these texts).
constexpr int kUnreadableTextErrorCode = 100;
constexpr int kDocumentErrorCode = 101;
const QString kUnreadableHTMLString = QStringLiteral("Unable to read HTML string from response");
const QString kUnparsableDocument = QStringLiteral("Error: unable to parse reponse XML");
const QString kNoXPathContext = QStringLiteral("Error: unable to create new XPath context");
const QString kXPathFailed = QStringLiteral("Error: unable to evaluate XPath expression!");
const QString kUnreadableCSS = QStringLiteral("Error: unable to read response CSS from disk");
const QString kUnwritableCSS = QStringLiteral("Error: unable to write response CSS to disk");
const QString kUnwritableHTML = QStringLiteral("Error: unable to write response HTML to disk");

const QString kPathKey = QStringLiteral("Path");
const QString kContentType = QStringLiteral("Content-Type");
const QString kContentEncoding = QStringLiteral("Content-Encoding");

// The shortest text taken as a resource URL.
constexpr qsizetype kShortestURL = 5;

// Headers of the document request that describe that request alone and must not go to its
// resources (a resumed range, the document's own validators, its body).
const QStringList kHeadersNotHandedDown = {
    QStringLiteral("Range"), QStringLiteral("If-None-Match"), QStringLiteral("If-Modified-Since"),
    QStringLiteral("If-Range"), QStringLiteral("Content-Length"), QStringLiteral("Content-Type"),
    QStringLiteral("Content-Encoding")};

// The one lock around every use of libxml2 and the requests that hold a parsed document; the
// parser's global state lives while that list is non-empty.
struct ParserUsers {
  std::mutex lock;
  std::vector<const WebPageRequest*> requests;
};

ParserUsers& parserUsers() {
  static ParserUsers users;
  return users;
}

// Both called with the parser lock held.
void addParserUser(const WebPageRequest* request) {
  ParserUsers& users = parserUsers();
  if (users.requests.empty()) HtmlDocument::initializeParser();
  users.requests.push_back(request);
}

void removeParserUser(const WebPageRequest* request) {
  ParserUsers& users = parserUsers();
  auto it = std::find(users.requests.begin(), users.requests.end(), request);
  if (it == users.requests.end()) return;
  users.requests.erase(it);
  if (users.requests.empty()) HtmlDocument::cleanupParser();
}

// Which recipient of the top document a forwarded report goes to.
enum class ForwardGroup { None, Delegate, DownloadProgress, UploadProgress };

ForwardGroup forwardGroup(platform::Selector selector) {
  static const platform::Selector delegateReports[] = {
      "requestStarted:", "request:didReceiveResponseHeaders:", "request:willRedirectToURL:",
      "requestFinished:", "requestFailed:", "request:didReceiveData:",
      "authenticationNeededForRequest:", "proxyAuthenticationNeededForRequest:"};
  static const platform::Selector downloadReports[] = {"request:didReceiveBytes:",
                                                       "request:incrementDownloadSizeBy:"};
  static const platform::Selector uploadReports[] = {"request:didSendBytes:",
                                                     "request:incrementUploadSizeBy:"};
  for (platform::Selector s : delegateReports) {
    if (s == selector) return ForwardGroup::Delegate;
  }
  for (platform::Selector s : downloadReports) {
    if (s == selector) return ForwardGroup::DownloadProgress;
  }
  for (platform::Selector s : uploadReports) {
    if (s == selector) return ForwardGroup::UploadProgress;
  }
  return ForwardGroup::None;
}

// A response header by name in any case; null text when absent.
QString headerValue(const std::optional<platform::StringMap>& headers, const QString& name) {
  if (!headers) return {};
  for (auto it = headers->cbegin(); it != headers->cend(); ++it) {
    if (it.key().compare(name, Qt::CaseInsensitive) == 0) return it.value();
  }
  return {};
}

void removeHeader(std::optional<platform::StringMap>& headers, const QString& name) {
  if (!headers) return;
  for (auto it = headers->begin(); it != headers->end();) {
    if (it.key().compare(name, Qt::CaseInsensitive) == 0) it = headers->erase(it);
    else ++it;
  }
}

bool equalsIgnoringCase(const QString& a, const char* b) {
  return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

QByteArray encodeText(const QString& text, http::StringEncoding encoding) {
  const QString name = http::ianaCharsetNameForEncoding(encoding);
  QStringEncoder encoder(name.isEmpty() ? "ISO-8859-1" : name.toLatin1().constData());
  if (!encoder.isValid()) return text.toLatin1();
  return encoder.encode(text);
}

bool isFetchableScheme(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// The page-wide name of a resource URL: its encoded form without a fragment.
QString resourceName(const QUrl& url) {
  return url.adjusted(QUrl::RemoveFragment).toString(QUrl::FullyEncoded);
}

}  // namespace

// ---- Construction -------------------------------------------------------------------------------

const platform::MethodTable& WebPageRequest::classMethods() {
  static const platform::MethodTable table(&http::HTTPRequest::classMethods(), {
      platform::method("externalResourceFetchSucceeded:", &WebPageRequest::externalResourceFetchSucceeded),
      platform::method("externalResourceFetchFailed:", &WebPageRequest::externalResourceFetchFailed),
      platform::method("finishedFetchingExternalResources:", &WebPageRequest::finishedFetchingExternalResources),
  });
  return table;
}

WebPageRequest::WebPageRequest(const QUrl& url) : http::HTTPRequest(url) {}

WebPageRequest::~WebPageRequest() {
  if (externalResourceQueue_) externalResourceQueue_->cancelAllOperations();
  if (doc_) {
    std::lock_guard lock(parserUsers().lock);
    doc_.reset();
    removeParserUser(this);
  }
}

std::shared_ptr<WebPageRequest> WebPageRequest::requestWithURL(const QUrl& url) {
  return std::make_shared<WebPageRequest>(url);
}

std::shared_ptr<http::HTTPRequest> WebPageRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<WebPageRequest>(url);
}

std::shared_ptr<WebPageRequest> WebPageRequest::selfPage() {
  return std::static_pointer_cast<WebPageRequest>(self());
}

void WebPageRequest::setExternalResourceQueue(const std::shared_ptr<queue::NetworkQueue>& queue) {
  if (externalResourceQueue_ && externalResourceQueue_ != queue) externalResourceQueue_->cancelAllOperations();
  externalResourceQueue_ = queue;
}

void WebPageRequest::setParentRequest(const std::shared_ptr<WebPageRequest>& parent) {
  parentRequest_ = parent;
  if (parent) {
    nestingDepth_ = parent->nestingDepth_ + 1;
    page_ = parent->page_;
    resourceFolder_ = parent->resourceFolder_;
  }
}

int WebPageRequest::resourcesFetched() const { return page_ ? page_->fetchedCount.load() : 0; }
int WebPageRequest::resourcesFailed() const { return page_ ? page_->failedCount.load() : 0; }

QStringList WebPageRequest::CSSURLsFromString(const QString& css) { return webpage::CSSURLsFromString(css); }

QString WebPageRequest::relativePathTo(const QString& toPath, const QString& fromPath) {
  return webpage::relativePathTo(toPath, fromPath);
}

// ---- Finishing the transfer ---------------------------------------------------------------------

void WebPageRequest::finishAsPlainRequest() {
  http::HTTPRequest::requestFinished();
  http::HTTPRequest::markAsFinished();
  setComplete(true);
}

void WebPageRequest::requestFinished() {
  setComplete(false);
  if (!mainRequest().expired() || didUseCachedResponse() || nestingDepth_ >= kMaxNestingDepth) {
    finishAsPlainRequest();
    return;
  }
  if (!page_) page_ = std::make_shared<PageState>();
  webContentType_ = 0;
  const QString type = headerValue(responseHeaders(), kContentType).toLower().section(QLatin1Char(';'), 0, 0).trimmed();
  if (type == QLatin1String("text/html") || type == QLatin1String("text/xhtml") ||
      type == QLatin1String("text/xhtml+xml") || type == QLatin1String("application/xhtml+xml")) {
    parseAsHTML();
  } else if (type == QLatin1String("text/css")) {
    parseAsCSS();
  } else {
    finishAsPlainRequest();
    return;
  }
  if (isSynchronous() && !error() && !isFinished()) serveResourceCallbacks();
}

void WebPageRequest::serveResourceCallbacks() {
  // A synchronous request returns only once it has ended, but its caller serves nothing but the
  // request's private mode, and the resource callbacks run on the main thread. So, from that
  // mode and outside every lock of the transfer, serve the main thread's loop (or, on another
  // thread, give the main thread time) until the resources have ended.
  auto me = selfPage();
  platform::RunLoop::current(runLoopMode())->post([me] {
    if (me->resourcesEnded_ || me->isFinished()) return;
    if (platform::isMainThread()) {
      platform::RunLoop::runOnce(platform::kDefaultRunLoopMode, 0.05);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    me->serveResourceCallbacks();
  });
}

void WebPageRequest::markAsFinished() {
  // A successful document is marked finished only after its resources (finishAsPlainRequest).
  if (!error()) return;
  http::HTTPRequest::markAsFinished();
  // A failed or cancelled document needs none of the resources still being fetched.
  if (externalResourceQueue_) externalResourceQueue_->cancelAllOperations();
}

void WebPageRequest::failWithCode(int code, const QString& description, const platform::ErrorPtr& underlying) {
  failWithError(http::makeRequestError(code, description, underlying));
}

// ---- Parsing ----------------------------------------------------------------------------------

QByteArray WebPageRequest::encodingName() const {
  // Only an encoding the server named is imposed; otherwise libxml2 reads the document's own
  // declaration (a <meta> charset) or finds the encoding itself.
  if (!headerValue(responseHeaders(), kContentType).contains(QLatin1String("charset"), Qt::CaseInsensitive)) {
    return {};
  }
  switch (responseEncoding()) {
    case http::ASCIIStringEncoding: return "ASCII";
    case http::JapaneseEUCStringEncoding: return "EUC-JP";
    case http::UTF8StringEncoding: return "UTF-8";
    case http::ISOLatin1StringEncoding: return "ISO-8859-1";
    case http::ShiftJISStringEncoding: return "Shift_JIS";
    case http::ISOLatin2StringEncoding: return "ISO-8859-2";
    case http::ISO2022JPStringEncoding: return "ISO-2022-JP";
    case http::UTF16BigEndianStringEncoding: return "UTF-16BE";
    case http::UTF16LittleEndianStringEncoding: return "UTF-16LE";
    case http::UTF32BigEndianStringEncoding: return "UCS-4BE";
    case http::UTF32LittleEndianStringEncoding: return "UCS-4LE";
    default: return {};
  }
}

void WebPageRequest::parseAsHTML() {
  webContentType_ = 1;
  QString failure;
  bool nothingToFetch = false;
  {
    std::lock_guard lock(parserUsers().lock);
    addParserUser(this);
    if (!downloadDestinationPath().isEmpty()) {
      doc_ = HtmlDocument::parseFile(downloadDestinationPath(), encodingName());
    } else {
      doc_ = HtmlDocument::parseMemory(responseData(), encodingName());
    }
    if (!doc_) {
      removeParserUser(this);
      failure = kUnparsableDocument;
    } else {
      resourceList_.clear();
      failure = readResourceURLs();
      nothingToFetch = resourceList_.isEmpty();
      if (!failure.isEmpty() || nothingToFetch) {
        doc_.reset();
        removeParserUser(this);
      }
    }
  }
  if (!failure.isEmpty()) {
    failWithCode(kDocumentErrorCode, failure);
    return;
  }
  if (nothingToFetch) {
    finishAsPlainRequest();
    return;
  }
  startFetchingResources();
}

QString WebPageRequest::readResourceURLs() {
  std::vector<HtmlDocument::Node> nodes;
  switch (doc_->urlNodes(&nodes)) {
    case HtmlDocument::QueryResult::NoContext: return kNoXPathContext;
    case HtmlDocument::QueryResult::EvaluationFailed: return kXPathFailed;
    case HtmlDocument::QueryResult::Ok: break;
  }
  // From the last node to the first.
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    const HtmlDocument::Node& node = *it;
    if (equalsIgnoringCase(node.parentName, "link")) {
      if (equalsIgnoringCase(node.parentRel, "stylesheet")) addURLToFetch(node.content);
    } else if (equalsIgnoringCase(node.name, "style")) {
      for (const QString& url : webpage::CSSURLsFromString(node.content)) addURLToFetch(url);
    } else if (equalsIgnoringCase(node.parentName, "source") || equalsIgnoringCase(node.parentName, "audio")) {
      const QString extension = QFileInfo(node.content.trimmed()).suffix().toLower();
      if (extension != QLatin1String("ogg") && extension != QLatin1String("ogv") &&
          extension != QLatin1String("webm")) {
        addURLToFetch(node.content);
      }
    } else if (equalsIgnoringCase(node.parentName, "a")) {
      // Links are never fetched.
    } else {
      addURLToFetch(node.content);
    }
  }
  return {};
}

bool WebPageRequest::readCSS(QString* text, platform::ErrorPtr* error) const {
  if (!downloadDestinationPath().isEmpty()) {
    QFile file(downloadDestinationPath());
    if (!file.open(QIODevice::ReadOnly)) {
      *error = platform::Error::make(QStringLiteral("NSCocoaErrorDomain"), 260, file.errorString());
      return false;
    }
    *text = http::decodeText(file.readAll(), responseEncoding());
    return true;
  }
  // No body kept: none arrived, or the bytes went to the delegate's data callback instead.
  if (!rawResponseData() || (rawResponseData()->isEmpty() && totalBytesRead() > 0)) {
    *error = nullptr;
    return false;
  }
  *text = http::decodeText(responseData(), responseEncoding());
  return true;
}

void WebPageRequest::parseAsCSS() {
  webContentType_ = 2;
  QString text;
  platform::ErrorPtr fileError;
  if (!readCSS(&text, &fileError)) {
    failWithCode(kUnreadableTextErrorCode, kUnreadableHTMLString, fileError);
    return;
  }
  resourceList_.clear();
  for (const QString& url : webpage::CSSURLsFromString(text)) addURLToFetch(url);
  if (resourceList_.isEmpty()) {
    finishAsPlainRequest();
    return;
  }
  startFetchingResources();
}

void WebPageRequest::addURLToFetch(const QString& text) {
  const QString key = text.trimmed();
  if (key.size() < kShortestURL) return;
  if (key.left(5).compare(QLatin1String("data:"), Qt::CaseInsensitive) == 0) return;
  const QUrl relative(key);
  if (!relative.isValid()) return;
  const QUrl resolved = url().resolved(relative);
  if (!resolved.isValid() || resourceList_.contains(key)) return;
  // Only web resources are fetched: a page cannot pull local files or other schemes in.
  if (!isFetchableScheme(resolved)) return;

  ResourceEntry entry;
  entry.resolvedURL = resourceName(resolved);
  if (page_) {
    std::lock_guard lock(page_->lock);
    // Each URL is fetched once per page: later mentions share the first fetch.
    entry.fetchedHere = !page_->requested.contains(entry.resolvedURL);
    if (entry.fetchedHere) page_->requested.insert(entry.resolvedURL);
  } else {
    entry.fetchedHere = true;
  }
  resourceList_.insert(key, entry);
}

// ---- Fetching the resources ---------------------------------------------------------------------

void WebPageRequest::startFetchingResources() {
  auto me = selfPage();
  if (externalResourceQueue_) externalResourceQueue_->cancelAllOperations();
  auto resources = queue::NetworkQueue::queue();
  resources->setDelegate(me);
  resources->setShouldCancelAllRequestsOnFailure(shouldIgnoreExternalResourceErrors_);
  resources->setShowAccurateProgress(showAccurateProgress());
  resources->setQueueDidFinishSelector("finishedFetchingExternalResources:");
  resources->setRequestDidFinishSelector("externalResourceFetchSucceeded:");
  resources->setRequestDidFailSelector("externalResourceFetchFailed:");
  externalResourceQueue_ = resources;

  {
    std::lock_guard lock(page_->lock);
    page_->documentsFetching.insert(resourceName(url()));
  }
  platform::StringMap headers = requestHeaders();
  for (const QString& name : kHeadersNotHandedDown) headers.remove(name);

  int added = 0;
  for (auto it = resourceList_.cbegin(); it != resourceList_.cend(); ++it) {
    if (!it->fetchedHere) continue;
    auto resource = std::make_shared<WebPageRequest>(QUrl(it->resolvedURL));
    resource->setRequestHeaders(headers);
    resource->setDownloadCache(downloadCache());
    resource->setCachePolicy(cachePolicy());
    resource->setCacheStoragePolicy(cacheStoragePolicy());
    resource->setUserInfo({{kPathKey, it.key()}});
    resource->setParentRequest(me);
    resource->setURLReplacementMode(urlReplacementMode_);
    resource->setShouldResetDownloadProgress(false);
    resource->setDelegate(me);
    resource->setUploadProgressDelegate(me);
    resource->setDownloadProgressDelegate(me);
    if (!downloadDestinationPath().isEmpty()) {
      resource->setDownloadDestinationPath(cachePathForRequest(*resource));
    }
    resources->addOperation(resource);
    ++added;
  }
  if (added == 0) {
    // Every resource is fetched by another document of the page: nothing to wait for.
    resourcesEnded_ = false;
    platform::performOnMainThread([me] { me->finishedFetchingExternalResources(nullptr); },
                                  platform::isMainThread());
    return;
  }
  resources->go();
}

QString WebPageRequest::cachePathForRequest(const http::HTTPRequest& request) const {
  // With a response cache, the body goes straight to where the cache keeps it.
  if (auto cache = downloadCache().lock()) return cache->pathToStoreCachedResponseDataForRequest(request);
  return resourcePathForURL(request.url(), nullptr);
}

QString WebPageRequest::resourcePathForURL(const QUrl& url, bool* ownExtension) const {
  QString folder = resourceFolder_;
  if (folder.isEmpty()) folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
  QDir().mkpath(folder);
  const QByteArray digest =
      QCryptographicHash::hash(url.toString(QUrl::FullyEncoded).toUtf8(), QCryptographicHash::Md5);
  // The URL's own extension, so that a saved copy opens as what it is (a style sheet saved as
  // .html is refused by browsers); "html" when the URL has none.
  static const QRegularExpression plainExtension(QStringLiteral("^[A-Za-z0-9]{1,8}$"));
  QString extension = QFileInfo(url.path()).suffix();
  const bool own = plainExtension.match(extension).hasMatch() && extension.compare(QLatin1String("html"), Qt::CaseInsensitive) != 0;
  if (!plainExtension.match(extension).hasMatch()) extension = QStringLiteral("html");
  if (ownExtension) *ownExtension = own;
  return QDir(folder).filePath(QString::fromLatin1(digest.toHex().toUpper()) + QLatin1Char('.') + extension);
}

void WebPageRequest::externalResourceFetchSucceeded(const std::shared_ptr<http::HTTPRequest>& request) {
  const QString key = request->userInfo().value(kPathKey).toString();
  auto it = resourceList_.find(key);
  if (it == resourceList_.end()) return;
  QString contentType = headerValue(request->responseHeaders(), kContentType);
  if (contentType.isEmpty()) contentType = QStringLiteral("application/octet-stream");
  it->contentType = contentType;
  if (!downloadDestinationPath().isEmpty()) {
    QString path = request->downloadDestinationPath();
    // A copy saved under "html" for want of an extension gets the one its type calls for
    // (unless the cache named the file: it finds its entries by that name).
    const QString mimeType = contentType.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    if (!downloadCache().lock() && path.endsWith(QLatin1String(".html")) && mimeType != QLatin1String("text/html")) {
      const QString suffix = QMimeDatabase().mimeTypeForName(mimeType).preferredSuffix();
      const QString renamed = path.left(path.size() - 4) + suffix;
      if (!suffix.isEmpty() && suffix != QLatin1String("html") &&
          (QFile::remove(renamed), QFile::rename(path, renamed))) {
        path = renamed;
      }
    }
    it->dataPath = path;
  } else {
    const QByteArray body = request->responseData();
    if (!body.isNull()) it->data = body;
  }
  it->fetched = true;
  page_->fetchedCount++;
  {
    std::lock_guard lock(page_->lock);
    page_->fetched.insert(it->resolvedURL, *it);
  }
  resourceSettled(it->resolvedURL);
}

void WebPageRequest::resourceSettled(const QString& resolvedURL) {
  std::vector<std::weak_ptr<WebPageRequest>> waiting;
  {
    std::lock_guard lock(page_->lock);
    waiting = page_->waiters.take(resolvedURL);
  }
  for (const auto& weakWaiter : waiting) {
    auto waiter = weakWaiter.lock();
    if (!waiter || !waiter->awaited_.remove(resolvedURL) || !waiter->awaited_.isEmpty()) continue;
    waiter->finishedFetchingExternalResources(nullptr);
  }
}

bool WebPageRequest::awaitResourcesOfOtherDocuments() {
  std::lock_guard lock(page_->lock);
  for (auto it = resourceList_.cbegin(); it != resourceList_.cend(); ++it) {
    const QString& name = it->resolvedURL;
    if (it->fetched || awaited_.contains(name) || !page_->requested.contains(name) ||
        page_->fetched.contains(name) || page_->failed.contains(name) || page_->documentsFetching.contains(name)) {
      continue;
    }
    awaited_.insert(name);
    page_->waiters[name].push_back(selfPage());
  }
  return !awaited_.isEmpty();
}

void WebPageRequest::externalResourceFetchFailed(const std::shared_ptr<http::HTTPRequest>& request) {
  page_->failedCount++;
  QString failedURL;
  if (auto it = resourceList_.constFind(request->userInfo().value(kPathKey).toString()); it != resourceList_.cend()) {
    failedURL = it->resolvedURL;
    std::lock_guard lock(page_->lock);
    page_->failed.insert(failedURL);
  }
  if (externalResourceQueue_ && externalResourceQueue_->shouldCancelAllRequestsOnFailure()) {
    failWithError(request->error());
  }
  if (!failedURL.isEmpty()) resourceSettled(failedURL);
}

void WebPageRequest::finishedFetchingExternalResources(const std::shared_ptr<queue::NetworkQueue>&) {
  auto keepAlive = selfPage();
  // A resource that another document of the page is still fetching (each URL is fetched once
  // per page) is waited for, so that its copy can be used here too; this step runs again once
  // the last of them has ended.
  if (urlReplacementMode_ != LeaveURLsUnchanged && !error() && awaitResourcesOfOtherDocuments()) return;
  {
    std::lock_guard lock(page_->lock);
    page_->documentsFetching.remove(resourceName(url()));
  }
  if (urlReplacementMode_ != LeaveURLsUnchanged && !error()) {
    if (webContentType_ == 2) rewriteCSS();
    else if (webContentType_ == 1) rewriteHTML();
  }
  if (doc_) {
    std::lock_guard lock(parserUsers().lock);
    doc_.reset();
    removeParserUser(this);
  }
  if (error()) {
    resourcesEnded_ = true;
    return;
  }
  if (!parentRequest_) {
    std::weak_ptr<WebPageRequest> weakSelf = keepAlive;
    http::HTTPRequest::updateProgressIndicator(
        [weakSelf]() -> std::shared_ptr<platform::Object> {
          auto me = weakSelf.lock();
          return me ? me->downloadProgressDelegate().lock() : nullptr;
        },
        contentLength(), contentLength());
  }
  // The body kept is no longer compressed: a body still held compressed is inflated first, so
  // that it stays readable once the header is gone.
  auto headers = responseHeaders();
  if (isResponseCompressed() && rawResponseData()) setRawResponseData(responseData());
  removeHeader(headers, kContentEncoding);
  setResponseHeaders(headers);
  if (urlReplacementMode_ != LeaveURLsUnchanged) {
    if (auto cache = downloadCache().lock()) cache->storeResponseForRequest(*this, secondsToCache());
  }
  finishAsPlainRequest();
  resourcesEnded_ = true;
}

// ---- Rewriting --------------------------------------------------------------------------------

const ResourceEntry* WebPageRequest::fetchedEntry(const QString& key) const {
  auto it = resourceList_.constFind(key);
  if (it == resourceList_.cend()) return nullptr;
  if (it->fetched) return &*it;
  if (!page_) return nullptr;
  // Fetched for another document of the page (or not at all).
  std::lock_guard lock(page_->lock);
  auto shared = page_->fetched.constFind(it->resolvedURL);
  return shared == page_->fetched.cend() ? nullptr : &*shared;
}

QString WebPageRequest::pendingResourcePath(const QString& key) const {
  auto it = resourceList_.constFind(key);
  if (it == resourceList_.cend() || !page_ || downloadDestinationPath().isEmpty() || downloadCache().lock()) return {};
  {
    std::lock_guard lock(page_->lock);
    if (!page_->requested.contains(it->resolvedURL) || page_->failed.contains(it->resolvedURL)) return {};
  }
  // Another document of the page is still fetching it: its copy will be at the usual place
  // (certain only when the name keeps the URL's own extension).
  bool ownExtension = false;
  const QString path = resourcePathForURL(QUrl(it->resolvedURL), &ownExtension);
  return ownExtension ? path : QString();
}

std::optional<QString> WebPageRequest::contentForExternalURL(const QString& key) const {
  const ResourceEntry* entry = fetchedEntry(key);
  if (urlReplacementMode_ == ReplaceURLsWithRelativePaths) {
    const QString dataPath = entry ? entry->dataPath : pendingResourcePath(key);
    if (dataPath.isEmpty() || downloadDestinationPath().isEmpty()) return std::nullopt;
    const QString path = webpage::relativePathTo(dataPath, downloadDestinationPath());
    if (path.isEmpty()) return std::nullopt;
    return QString::fromLatin1(QUrl::toPercentEncoding(path, "/"));
  }
  if (!entry) return std::nullopt;
  std::optional<QByteArray> bytes = entry->data;
  if (!entry->dataPath.isEmpty()) {
    QFile file(entry->dataPath);
    bytes = file.open(QIODevice::ReadOnly) ? std::optional<QByteArray>(file.readAll()) : std::nullopt;
  }
  if (!bytes || entry->contentType.isEmpty()) return std::nullopt;
  // White space in the type would end an unquoted CSS url( reference early.
  QString type = entry->contentType;
  type.remove(QRegularExpression(QStringLiteral("\\s")));
  return QStringLiteral("data:%1;base64,").arg(type) + http::HTTPRequest::base64forData(*bytes);
}

void WebPageRequest::rewriteCSS() {
  QString text;
  platform::ErrorPtr readError;
  if (!readCSS(&text, &readError)) {
    failWithCode(kDocumentErrorCode, kUnreadableCSS);
    return;
  }
  const QUrl base = url();
  const int mode = urlReplacementMode_;
  text = rewriteCSSURLs(text, [&](const QString& reference) -> std::optional<QString> {
    if (auto content = contentForExternalURL(reference)) return content;
    // With relative paths, anything without a saved copy keeps working from its absolute URL.
    if (mode == ReplaceURLsWithRelativePaths && !reference.startsWith(QLatin1String("data:"), Qt::CaseInsensitive)) {
      const QUrl absolute = base.resolved(QUrl(reference));
      if (absolute.isValid()) return absolute.toString(QUrl::FullyEncoded);
    }
    return std::nullopt;
  });
  const QByteArray bytes = encodeText(text, responseEncoding());
  if (!downloadDestinationPath().isEmpty()) {
    QFile file(downloadDestinationPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
      failWithCode(kDocumentErrorCode, kUnwritableCSS);
    }
    return;
  }
  setRawResponseData(bytes);
  auto headers = responseHeaders();
  removeHeader(headers, kContentEncoding);
  setResponseHeaders(headers);
}

void WebPageRequest::rewriteHTML() {
  QString failure;
  {
    std::lock_guard lock(parserUsers().lock);
    if (!doc_) return;
    failure = updateResourceURLs();
    if (failure.isEmpty()) {
      bool written = false;
      if (!downloadDestinationPath().isEmpty()) {
        written = doc_->saveToFile(downloadDestinationPath());
      } else {
        QByteArray out;
        written = doc_->saveToMemory(&out);
        if (written) {
          setRawResponseData(out);
          auto headers = responseHeaders();
          removeHeader(headers, kContentEncoding);
          setResponseHeaders(headers);
        }
      }
      if (!written) failure = kUnwritableHTML;
    }
    doc_.reset();
    removeParserUser(this);
  }
  if (!failure.isEmpty()) failWithCode(kDocumentErrorCode, failure);
}

QString WebPageRequest::updateResourceURLs() {
  std::vector<HtmlDocument::Node> nodes;
  switch (doc_->urlNodes(&nodes)) {
    case HtmlDocument::QueryResult::NoContext: return kNoXPathContext;
    case HtmlDocument::QueryResult::EvaluationFailed: return kXPathFailed;
    case HtmlDocument::QueryResult::Ok: break;
  }
  const QUrl base = url();
  const int mode = urlReplacementMode_;
  auto absoluteURL = [&](const QString& reference) -> std::optional<QString> {
    if (reference.startsWith(QLatin1String("data:"), Qt::CaseInsensitive)) return std::nullopt;
    const QUrl absolute = base.resolved(QUrl(reference.trimmed()));
    if (!absolute.isValid()) return std::nullopt;
    return absolute.toString(QUrl::FullyEncoded);
  };
  auto replacement = [&](const QString& reference) -> std::optional<QString> {
    if (auto content = contentForExternalURL(reference.trimmed())) return content;
    // With relative paths, anything without a saved copy keeps working from its absolute URL.
    if (mode == ReplaceURLsWithRelativePaths) return absoluteURL(reference);
    return std::nullopt;
  };
  // From the last node to the first.
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    const HtmlDocument::Node& node = *it;
    if (equalsIgnoringCase(node.name, "style")) {
      const QString rewritten = rewriteCSSURLs(node.content, replacement);
      if (rewritten != node.content) doc_->setContent(node, rewritten);
      continue;
    }
    // With relative paths, links lead back to the live pages.
    std::optional<QString> value = mode == ReplaceURLsWithRelativePaths && equalsIgnoringCase(node.parentName, "a")
                                       ? absoluteURL(node.content)
                                       : replacement(node.content);
    if (value && *value != node.content) doc_->setContent(node, *value);
  }
  return {};
}

// ---- Passing reports up -------------------------------------------------------------------------

std::shared_ptr<platform::Object> WebPageRequest::forwardingTarget(platform::Selector selector) const {
  const ForwardGroup group = forwardGroup(selector);
  if (group == ForwardGroup::None) return nullptr;
  if (parentRequest_) {
    return parentRequest_->respondsToSelector(selector) ? std::static_pointer_cast<platform::Object>(parentRequest_)
                                                        : nullptr;
  }
  std::shared_ptr<platform::Object> target;
  switch (group) {
    case ForwardGroup::Delegate: target = delegate().lock(); break;
    case ForwardGroup::DownloadProgress: target = downloadProgressDelegate().lock(); break;
    case ForwardGroup::UploadProgress: target = uploadProgressDelegate().lock(); break;
    case ForwardGroup::None: break;
  }
  return target && target->respondsToSelector(selector) ? target : nullptr;
}

bool WebPageRequest::respondsToSelector(platform::Selector selector) const {
  if (http::HTTPRequest::respondsToSelector(selector)) return true;
  return forwardingTarget(selector) != nullptr;
}

bool WebPageRequest::forwardInvocation(platform::Selector selector, const platform::Arguments& args) {
  auto target = forwardingTarget(selector);
  return target && target->performSelector(selector, args);
}

}  // namespace webpage
