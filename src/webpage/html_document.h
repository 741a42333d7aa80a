// A parsed HTML document as web page archiving needs it: its URL-bearing nodes, changing their
// text, and writing it out again. The only place that knows libxml2.
#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

namespace webpage {

// One parsed document. Every call must be made under the caller's parsing lock with libxml2's
// parser state set up (initializeParser). Thread: any, one at a time.
class HtmlDocument {
 public:
  // A node that names a URL: an attribute (href, src, style...) or a style element.
  struct Node {
    void* handle = nullptr;   // the libxml2 node; valid while the document lives
    QString name;             // the node's own name ("href", "src", "style")
    QString parentName;       // the name of the element holding it
    QString parentRel;        // that element's "rel" attribute (empty when it has none)
    QString content;          // the node's text
  };
  enum class QueryResult { Ok, NoContext, EvaluationFailed };

  // Parses the file at `path` / the bytes `data` leniently (no error or warning output, no
  // network access). `encoding` is a libxml2 encoding name, or empty to let libxml2 find it.
  // Null when libxml2 gives no document.
  static std::unique_ptr<HtmlDocument> parseFile(const QString& path, const QByteArray& encoding);
  static std::unique_ptr<HtmlDocument> parseMemory(const QByteArray& data, const QByteArray& encoding);
  ~HtmlDocument();
  HtmlDocument(const HtmlDocument&) = delete;
  HtmlDocument& operator=(const HtmlDocument&) = delete;

  // Every node the URL expression finds, in document order.
  QueryResult urlNodes(std::vector<Node>* nodes) const;
  // Replaces the node's text with `content` (taken literally: no entity references).
  void setContent(const Node& node, const QString& content);
  // Writes the document without an XML declaration to the file at `path` (created empty first)
  // or to memory. False when writing failed.
  bool saveToFile(const QString& path) const;
  bool saveToMemory(QByteArray* out) const;

  // Sets up and tears down libxml2's global parser state.
  static void initializeParser();
  static void cleanupParser();

 private:
  explicit HtmlDocument(void* doc) : doc_(doc) {}
  void* doc_;  // the libxml2 document, owned
};

}  // namespace webpage
