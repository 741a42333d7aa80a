// The Cloud Files records (a container, an object) and the reader of container listings.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include <memory>

namespace cloud::cloudfiles {

// A container as a listing or the CDN service names it. Thread: any (plain value).
struct CloudFilesContainer {
  QString name;
  quint64 count = 0;
  quint64 bytes = 0;
  bool cdnEnabled = false;
  quint64 ttl = 0;
  QString cdnURL;
  bool logRetention = false;
  QString referrerACL;
  QString useragentACL;

  static std::shared_ptr<CloudFilesContainer> container() { return std::make_shared<CloudFilesContainer>(); }
};

// An object: from a listing (no data) or read back from a GET or HEAD. Thread: any.
struct CloudFilesObject {
  QString name;
  QString hash;
  quint64 bytes = 0;
  QString contentType;
  QDateTime lastModified;
  QByteArray data;
  QMap<QString, QString> metadata;

  static std::shared_ptr<CloudFilesObject> object() { return std::make_shared<CloudFilesObject>(); }
};

// Reads a container listing ("format=xml") into records. Document type declarations and
// entities beyond the five predefined ones are refused, so a hostile listing cannot expand or
// read anything. Thread: the caller's.
class CloudFilesContainerXMLParserDelegate {
 public:
  // Parses `xml`; returns false when the document is not well-formed or was refused (the
  // containers read up to that point are kept).
  bool parse(const QByteArray& xml);
  const QList<std::shared_ptr<CloudFilesContainer>>& containerObjects() const { return containerObjects_; }
  bool hasParsed() const { return parsed_; }

  void startElement(const QString& name);
  void characters(const QString& text) { currentContent_ += text; }
  void endElement(const QString& name);

 private:
  QList<std::shared_ptr<CloudFilesContainer>> containerObjects_;
  QString currentElement_;
  QString currentContent_;
  std::shared_ptr<CloudFilesContainer> currentObject_;
  bool parsed_ = false;
};

}  // namespace cloud::cloudfiles
