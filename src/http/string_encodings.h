// Text encodings by number: which number a charset name stands for, and decoding bytes with one.
#pragma once

#include "http/http_request.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace http {

// The encoding number of an IANA charset name (any case), or none when the name is unknown.
std::optional<StringEncoding> encodingForIANACharsetName(const QString& name);

// The IANA name of an encoding number ("utf-8", "iso-8859-1"...); empty when unknown.
QString ianaCharsetNameForEncoding(StringEncoding encoding);

// `data` decoded as `encoding`; an unknown encoding decodes as ISO Latin-1.
QString decodeText(const QByteArray& data, StringEncoding encoding);

}  // namespace http
