// Refusal of document type declarations and undeclared entities in storage listings.
#include "cloud/xml_safety.h"

#include <QXmlStreamReader>

namespace cloud {

bool refuseUnsafeXML(QXmlStreamReader& reader) {
  switch (reader.tokenType()) {
    case QXmlStreamReader::DTD:
      // Entities can only be declared here: without a DTD, only the predefined five exist.
      reader.raiseError(QStringLiteral("Document type declarations are not accepted"));
      return false;
    case QXmlStreamReader::EntityReference:
      reader.raiseError(QStringLiteral("Entity references are not accepted"));
      return false;
    default:
      return true;
  }
}

}  // namespace cloud
