// Composing the download plan and the path rules of the add-on folder.
#include "updater/download_plan.h"

#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QStringBuilder>

#include <algorithm>
#include <cstring>

namespace updater {
namespace {

// Characters other than letters and digits that may stand in a URL as they are.
constexpr char kUrlPunctuation[] = "-_.!~*'();/?:@&=+$,#";

// Bytes of `text` in the file name encoding (UTF-8). Plain ASCII, the usual case, is counted
// without encoding it.
qsizetype encodedLength(QStringView text) {
  for (const QChar c : text) {
    if (c.unicode() >= 0x80) return QFile::encodeName(text.toString()).size();
  }
  return text.size();
}

// True when every name below the game folder in `path` (and the path as a whole) fits the limits
// of the file system, counted in the bytes of the file name encoding.
bool fitsTheFileSystem(QStringView path, qsizetype gameFolderLength) {
  if (encodedLength(path) > kMaxPathBytes) return false;
  for (const QStringView name : path.mid(gameFolderLength).tokenize(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    if (encodedLength(name) > kMaxNameBytes) return false;
  }
  return true;
}

// True for a character that escapeForLog() writes as an escape.
bool needsLogEscape(QChar c) {
  const char16_t u = c.unicode();
  if (u >= 0x20 && u < 0x7f) return u == '\\';
  return c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029;
}

}  // namespace

bool isSafeRelativePath(const QString& path) {
  if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return false;
  for (const QChar c : path) {
    if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.category() == QChar::Other_Control)) return false;
  }
  for (const QStringView segment : QStringView(path).tokenize(QLatin1Char('/'))) {
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..")) return false;
  }
  return true;
}

QString percentEscape(const QString& text, bool pathPart) {
  static const char hex[] = "0123456789ABCDEF";
  const QByteArray utf8 = text.toUtf8();
  QString out(utf8.size() * 3, Qt::Uninitialized);
  QChar* to = out.data();
  for (const char byte : utf8) {
    const auto c = static_cast<unsigned char>(byte);
    const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    const bool punctuation = c < 0x80 && c != 0 && std::strchr(kUrlPunctuation, c) != nullptr &&
                             !(pathPart && (c == '?' || c == '#'));
    if (alphanumeric || punctuation) {
      *to++ = QLatin1Char(static_cast<char>(c));
    } else {
      *to++ = QLatin1Char('%');
      *to++ = QLatin1Char(hex[c >> 4]);
      *to++ = QLatin1Char(hex[c & 0xF]);
    }
  }
  out.truncate(to - out.constData());
  return out;
}

std::vector<PlanItem> composePlan(const AddOnList& addons, const QString& archiveBase,
                                  const QString& gameFolder,
                                  const std::function<void(const QString&)>& log) {
  std::vector<PlanItem> plan;
  QSet<QString> planned;
  // Most entries list one file or a few: room for one each avoids most regrowth of a long list.
  plan.reserve(static_cast<size_t>(addons.size()));
  planned.reserve(addons.size());
  const QString escapedBase = percentEscape(archiveBase, false);
  const QString folderBase = gameFolder + kAddOnsFolder;
  const QString archiveSuffix = QStringLiteral(".7z");
  addons.forEach([&](const QJsonValue& entryValue) {
    if (!entryValue.isObject()) {
      log(QStringLiteral("Skipping an add-on entry that is not an object"));
      return;
    }
    const QJsonObject entry = entryValue.toObject();
    const QJsonValue folderValue = entry.value(QLatin1String("folder"));
    const QString folder = folderValue.toString();
    const QJsonArray files = entry.value(QLatin1String("files")).toArray();
    if (files.isEmpty()) return;
    if (!folderValue.isString() || !isSafeRelativePath(folder)) {
      log(QStringLiteral("Skipping add-on folder \"%1\": not a plain relative folder name").arg(escapeForLog(folder)));
      return;
    }
    const QString escapedFolder = escapedBase % percentEscape(folder, true) % QLatin1Char('/');
    const QString folderPath = folderBase % folder % QLatin1Char('/');
    const QString folderURL = archiveBase % folder % QLatin1Char('/');
    for (const QJsonValue& fileValue : files) {
      const QJsonValue text = fileValue.toObject().value(QLatin1String("file"));
      if (!text.isString()) {
        log(QStringLiteral("Skipping a file entry of %1 without a file name").arg(escapeForLog(folder)));
        continue;
      }
      PlanItem item;
      item.folder = folder;
      item.fileName = text.toString().replace(QLatin1Char('\\'), QLatin1Char('/'));
      if (!isSafeRelativePath(item.fileName)) {
        log(QStringLiteral("Skipping file \"%1\" of %2: not a plain relative path")
                .arg(escapeForLog(item.fileName), escapeForLog(folder)));
        continue;
      }
      item.destinationPath = folderPath % item.fileName % archiveSuffix;
      if (!fitsTheFileSystem(item.destinationPath, gameFolder.size())) {
        log(QStringLiteral("Skipping file \"%1\" of %2: its name is longer than the file system allows")
                .arg(escapeForLog(item.fileName), escapeForLog(folder)));
        continue;
      }
      const qsizetype before = planned.size();
      planned.insert(item.destinationPath);
      if (planned.size() == before) {
        log(QStringLiteral("Skipping file \"%1\" of %2: listed twice")
                .arg(escapeForLog(item.fileName), escapeForLog(folder)));
        continue;
      }
      // The URL before escaping, as the log shows it.
      log(QStringLiteral("RequestURL--------") % escapeForLog(folderURL % item.fileName % archiveSuffix));
      item.escapedURL = escapedFolder % percentEscape(item.fileName, true) % archiveSuffix;
      plan.push_back(std::move(item));
    }
  });
  return plan;
}

QString escapeForLog(const QString& text) {
  if (std::none_of(text.begin(), text.end(), needsLogEscape)) return text;
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if (u == '\\') {
      out += QStringLiteral("\\\\");
    } else if (u == '\n') {
      out += QStringLiteral("\\n");
    } else if (u == '\r') {
      out += QStringLiteral("\\r");
    } else if (u == '\t') {
      out += QStringLiteral("\\t");
    } else if (c.category() == QChar::Other_Control || u == 0x2028 || u == 0x2029) {
      out += QStringLiteral("\\x{%1}").arg(static_cast<unsigned>(u), 0, 16);
    } else {
      out += c;
    }
  }
  return out;
}

QString lastPathComponent(const QString& path) { return path.section(QLatin1Char('/'), -1); }

QString directoryOf(const QString& path) {
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  return slash < 0 ? QString() : path.left(slash + 1);
}

QString withoutArchiveSuffix(const QString& name) {
  return name.endsWith(QLatin1String(".7z")) ? name.chopped(3) : name;
}

}  // namespace updater
