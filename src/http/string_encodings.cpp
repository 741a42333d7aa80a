// Charset names, encoding numbers and decoding.
#include "http/string_encodings.h"

#include <QStringDecoder>

#include <array>

namespace http {
namespace {

// Numbers for encodings that have no number of their own are the base system's encoding value
// with the high bit set, as the platform numbers them.
constexpr StringEncoding foreign(StringEncoding base) { return 0x80000000u | base; }

struct CharsetEntry {
  const char* name;          // IANA name (lower case)
  StringEncoding encoding;   // its number
};

// The first entry of each number gives its preferred name.
constexpr std::array kCharsets{
    CharsetEntry{"us-ascii", ASCIIStringEncoding},
    CharsetEntry{"ascii", ASCIIStringEncoding},
    CharsetEntry{"utf-8", UTF8StringEncoding},
    CharsetEntry{"utf8", UTF8StringEncoding},
    CharsetEntry{"iso-8859-1", ISOLatin1StringEncoding},
    CharsetEntry{"latin1", ISOLatin1StringEncoding},
    CharsetEntry{"iso_8859-1", ISOLatin1StringEncoding},
    CharsetEntry{"euc-jp", JapaneseEUCStringEncoding},
    CharsetEntry{"shift_jis", ShiftJISStringEncoding},
    CharsetEntry{"x-sjis", ShiftJISStringEncoding},
    CharsetEntry{"iso-8859-2", ISOLatin2StringEncoding},
    CharsetEntry{"utf-16", UnicodeStringEncoding},
    CharsetEntry{"windows-1251", WindowsCP1251StringEncoding},
    CharsetEntry{"windows-1252", WindowsCP1252StringEncoding},
    CharsetEntry{"windows-1253", WindowsCP1253StringEncoding},
    CharsetEntry{"windows-1254", WindowsCP1254StringEncoding},
    CharsetEntry{"windows-1250", WindowsCP1250StringEncoding},
    CharsetEntry{"iso-2022-jp", ISO2022JPStringEncoding},
    CharsetEntry{"macintosh", MacOSRomanStringEncoding},
    CharsetEntry{"utf-16be", UTF16BigEndianStringEncoding},
    CharsetEntry{"utf-16le", UTF16LittleEndianStringEncoding},
    CharsetEntry{"utf-32", UTF32StringEncoding},
    CharsetEntry{"utf-32be", UTF32BigEndianStringEncoding},
    CharsetEntry{"utf-32le", UTF32LittleEndianStringEncoding},
    CharsetEntry{"iso-8859-15", foreign(0x020F)},
    CharsetEntry{"gb2312", foreign(0x0930)},
    CharsetEntry{"gbk", foreign(0x0631)},
    CharsetEntry{"gb18030", foreign(0x0632)},
    CharsetEntry{"big5", foreign(0x0A03)},
    CharsetEntry{"euc-kr", foreign(0x0940)},
    CharsetEntry{"koi8-r", foreign(0x0A02)},
};

}  // namespace

std::optional<StringEncoding> encodingForIANACharsetName(const QString& name) {
  const QByteArray lower = name.trimmed().toLower().toLatin1();
  for (const CharsetEntry& entry : kCharsets) {
    if (lower == entry.name) return entry.encoding;
  }
  return std::nullopt;
}

QString ianaCharsetNameForEncoding(StringEncoding encoding) {
  for (const CharsetEntry& entry : kCharsets) {
    if (entry.encoding == encoding) return QString::fromLatin1(entry.name);
  }
  return {};
}

QString decodeText(const QByteArray& data, StringEncoding encoding) {
  switch (encoding) {
    case UTF8StringEncoding: return QString::fromUtf8(data);
    case ASCIIStringEncoding:
    case ISOLatin1StringEncoding: return QString::fromLatin1(data);
    default: break;
  }
  const QString name = ianaCharsetNameForEncoding(encoding);
  if (!name.isEmpty()) {
    QStringDecoder decoder(name.toLatin1().constData());
    if (decoder.isValid()) return decoder.decode(data);
  }
  return QString::fromLatin1(data);
}

}  // namespace http
