// Composing the download plan and the path rules of the add-on folder.
#include "updater/download_plan.h"

#include <QVariantMap>

#include <cstring>

namespace updater {
namespace {

// Characters other than letters and digits that may stand in a URL as they are.
constexpr char kUrlPunctuation[] = "-_.!~*'();/?:@&=+$,#";

}  // namespace

bool isSafeRelativePath(const QString& path) {
  if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return false;
  for (const QChar c : path) {
    if (c.category() == QChar::Other_Control) return false;
  }
  for (const QString& segment : path.split(QLatin1Char('/'))) {
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String("..")) return false;
  }
  return true;
}

QString percentEscape(const QString& text, bool pathPart) {
  static const char hex[] = "0123456789ABCDEF";
  QString out;
  const QByteArray utf8 = text.toUtf8();
  out.reserve(utf8.size());
  for (const char byte : utf8) {
    const auto c = static_cast<unsigned char>(byte);
    const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    const bool punctuation = c < 0x80 && c != 0 && std::strchr(kUrlPunctuation, c) != nullptr &&
                             !(pathPart && (c == '?' || c == '#'));
    if (alphanumeric || punctuation) {
      out += QLatin1Char(static_cast<char>(c));
    } else {
      out += QLatin1Char('%');
      out += QLatin1Char(hex[c >> 4]);
      out += QLatin1Char(hex[c & 0xF]);
    }
  }
  return out;
}

std::vector<PlanItem> composePlan(const QVariantList& addons, const QString& archiveBase,
                                  const QString& gameFolder,
                                  const std::function<void(const QString&)>& log) {
  std::vector<PlanItem> plan;
  for (const QVariant& entryValue : addons) {
    if (entryValue.typeId() != QMetaType::QVariantMap) {
      log(QStringLiteral("Skipping an add-on entry that is not an object"));
      continue;
    }
    const QVariantMap entry = entryValue.toMap();
    const QVariant folderValue = entry.value(QStringLiteral("folder"));
    const QString folder = folderValue.toString();
    const QVariantList files = entry.value(QStringLiteral("files")).toList();
    if (files.isEmpty()) continue;
    if (folderValue.typeId() != QMetaType::QString || !isSafeRelativePath(folder)) {
      log(QStringLiteral("Skipping add-on folder \"%1\": not a plain relative folder name").arg(folder));
      continue;
    }
    for (const QVariant& fileValue : files) {
      const QVariant text = fileValue.toMap().value(QStringLiteral("file"));
      if (text.typeId() != QMetaType::QString) {
        log(QStringLiteral("Skipping a file entry of %1 without a file name").arg(folder));
        continue;
      }
      PlanItem item;
      item.folder = folder;
      item.fileName = text.toString().replace(QLatin1Char('\\'), QLatin1Char('/'));
      if (!isSafeRelativePath(item.fileName)) {
        log(QStringLiteral("Skipping file \"%1\" of %2: not a plain relative path").arg(item.fileName, folder));
        continue;
      }
      item.urlText = QStringLiteral("%1%2/%3.7z").arg(archiveBase, folder, item.fileName);
      log(QStringLiteral("RequestURL--------") + item.urlText);
      item.escapedURL = percentEscape(archiveBase, false) + percentEscape(folder, true) + QLatin1Char('/') +
                        percentEscape(item.fileName, true) + QStringLiteral(".7z");
      item.destinationPath = gameFolder + kAddOnsFolder + folder + QLatin1Char('/') + item.fileName +
                             QStringLiteral(".7z");
      plan.push_back(std::move(item));
    }
  }
  return plan;
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
