// Guarding the XML readers of the storage listings against hostile documents.
#pragma once

class QXmlStreamReader;

namespace cloud {

// Call after each readNext(). A document type declaration or a reference to an entity other than
// the five predefined ones stops the reader with an error (so nothing is expanded or read from
// elsewhere) and returns false; otherwise returns true.
bool refuseUnsafeXML(QXmlStreamReader& reader);

}  // namespace cloud
