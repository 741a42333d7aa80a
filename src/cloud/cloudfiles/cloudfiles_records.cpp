// Reading container listings of the storage and CDN services.
#include "cloud/cloudfiles/cloudfiles_records.h"

#include "cloud/xml_safety.h"

#include <QXmlStreamReader>

namespace cloud::cloudfiles {

bool CloudFilesContainerXMLParserDelegate::parse(const QByteArray& xml) {
  parsed_ = true;
  QXmlStreamReader reader(xml);
  reader.setNamespaceProcessing(false);
  while (!reader.atEnd()) {
    reader.readNext();
    if (!refuseUnsafeXML(reader)) break;
    switch (reader.tokenType()) {
      case QXmlStreamReader::StartElement: startElement(reader.name().toString()); break;
      case QXmlStreamReader::Characters: characters(reader.text().toString()); break;
      case QXmlStreamReader::EndElement: endElement(reader.name().toString()); break;
      default: break;
    }
  }
  return !reader.hasError();
}

void CloudFilesContainerXMLParserDelegate::startElement(const QString& name) {
  currentElement_ = name;
  if (name == QLatin1String("container")) currentObject_ = CloudFilesContainer::container();
  currentContent_.clear();
}

void CloudFilesContainerXMLParserDelegate::endElement(const QString& name) {
  if (name == QLatin1String("container")) {
    if (currentObject_) containerObjects_.append(std::exchange(currentObject_, nullptr));
    return;
  }
  if (!currentObject_) return;
  const QString& text = currentContent_;
  if (name == QLatin1String("name")) currentObject_->name = text;
  else if (name == QLatin1String("count")) currentObject_->count = text.toULongLong();
  else if (name == QLatin1String("bytes")) currentObject_->bytes = text.toULongLong();
  else if (name == QLatin1String("ttl")) currentObject_->ttl = text.toULongLong();
  else if (name == QLatin1String("cdn_enabled")) currentObject_->cdnEnabled = text == QLatin1String("True");
  else if (name == QLatin1String("log_retention")) currentObject_->logRetention = text == QLatin1String("True");
  else if (name == QLatin1String("cdn_url")) currentObject_->cdnURL = text;
  else if (name == QLatin1String("referrer_acl")) currentObject_->referrerACL = text;
  else if (name == QLatin1String("useragent_acl")) currentObject_->useragentACL = text;
}

}  // namespace cloud::cloudfiles
