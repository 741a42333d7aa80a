// libxml2 behind HtmlDocument: the lenient HTML parser, the URL XPath expression, node text and
// the serialiser.
#include "webpage/html_document.h"

#include <QFile>

#include <libxml/HTMLparser.h>
#include <libxml/HTMLtree.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>

namespace webpage {
namespace {

// Every node of an HTML document that names a resource or a link.
constexpr const char kURLNodesExpression[] =
    "//link/@href|//a/@href|//script/@src|//img/@src|//frame/@src|//iframe/@src|//style|//*/@style|"
    "//source/@src|//video/@poster|//audio/@src";

// HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET (2144).
constexpr int kParseOptions = HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET;
static_assert(kParseOptions == 2144);

xmlDocPtr asDoc(void* doc) { return static_cast<xmlDocPtr>(doc); }

QString fromXml(const xmlChar* text) {
  return text ? QString::fromUtf8(reinterpret_cast<const char*>(text)) : QString();
}

QString takeXml(xmlChar* text) {
  QString result = fromXml(text);
  xmlFree(text);
  return result;
}

const char* encodingOrNull(const QByteArray& encoding) {
  return encoding.isEmpty() ? nullptr : encoding.constData();
}

}  // namespace

std::unique_ptr<HtmlDocument> HtmlDocument::parseFile(const QString& path, const QByteArray& encoding) {
  htmlDocPtr doc = htmlReadFile(QFile::encodeName(path).constData(), encodingOrNull(encoding), kParseOptions);
  if (!doc) return nullptr;
  return std::unique_ptr<HtmlDocument>(new HtmlDocument(doc));
}

std::unique_ptr<HtmlDocument> HtmlDocument::parseMemory(const QByteArray& data, const QByteArray& encoding) {
  htmlDocPtr doc = htmlReadMemory(data.constData(), static_cast<int>(data.size()), "",
                                  encodingOrNull(encoding), kParseOptions);
  if (!doc) return nullptr;
  return std::unique_ptr<HtmlDocument>(new HtmlDocument(doc));
}

HtmlDocument::~HtmlDocument() { xmlFreeDoc(asDoc(doc_)); }

HtmlDocument::QueryResult HtmlDocument::urlNodes(std::vector<Node>* nodes) const {
  xmlXPathContextPtr context = xmlXPathNewContext(asDoc(doc_));
  if (!context) return QueryResult::NoContext;
  xmlXPathObjectPtr result = xmlXPathEvalExpression(BAD_CAST kURLNodesExpression, context);
  if (!result) {
    xmlXPathFreeContext(context);
    return QueryResult::EvaluationFailed;
  }
  if (xmlNodeSetPtr set = result->nodesetval) {
    for (int i = 0; i < set->nodeNr; ++i) {
      xmlNodePtr node = set->nodeTab[i];
      Node entry;
      entry.handle = node;
      entry.name = fromXml(node->name);
      if (xmlNodePtr parent = node->parent) {
        entry.parentName = fromXml(parent->name);
        if (parent->type == XML_ELEMENT_NODE) entry.parentRel = takeXml(xmlGetProp(parent, BAD_CAST "rel"));
      }
      entry.content = takeXml(xmlNodeGetContent(node));
      nodes->push_back(std::move(entry));
    }
  }
  xmlXPathFreeObject(result);
  xmlXPathFreeContext(context);
  return QueryResult::Ok;
}

void HtmlDocument::setContent(const Node& node, const QString& content) {
  // Setting a node's content reads entity references, so "&" and friends are escaped first.
  xmlChar* escaped = xmlEncodeSpecialChars(asDoc(doc_), BAD_CAST content.toUtf8().constData());
  xmlNodeSetContent(static_cast<xmlNodePtr>(node.handle), escaped);
  xmlFree(escaped);
}

bool HtmlDocument::saveToFile(const QString& path) const {
  {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  }
  xmlSaveCtxtPtr save = xmlSaveToFilename(QFile::encodeName(path).constData(), nullptr, XML_SAVE_NO_DECL);
  if (!save) return false;
  const long written = xmlSaveDoc(save, asDoc(doc_));
  return xmlSaveClose(save) >= 0 && written >= 0;
}

bool HtmlDocument::saveToMemory(QByteArray* out) const {
  xmlBufferPtr buffer = xmlBufferCreate();
  if (!buffer) return false;
  xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, nullptr, XML_SAVE_NO_DECL);
  if (!save) {
    xmlBufferFree(buffer);
    return false;
  }
  const long written = xmlSaveDoc(save, asDoc(doc_));
  const bool ok = xmlSaveClose(save) >= 0 && written >= 0;
  if (ok) *out = QByteArray(reinterpret_cast<const char*>(xmlBufferContent(buffer)), xmlBufferLength(buffer));
  xmlBufferFree(buffer);
  return ok;
}

void HtmlDocument::initializeParser() { xmlInitParser(); }
void HtmlDocument::cleanupParser() { xmlCleanupParser(); }

}  // namespace webpage
