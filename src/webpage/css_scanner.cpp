// The url(...) scanner shared by collecting resource URLs and by rewriting them.
#include "webpage/css_scanner.h"

namespace webpage {
namespace {

bool isSpace(QChar c) { return c.isSpace(); }
bool isQuote(QChar c) { return c == QLatin1Char('"') || c == QLatin1Char('\''); }

// Calls `found(begin, end)` with the bounds of the URL of each reference, in order.
void scanReferences(const QString& css, const std::function<void(qsizetype, qsizetype)>& found) {
  const qsizetype length = css.size();
  qsizetype at = 0;
  for (;;) {
    const qsizetype open = css.indexOf(QLatin1String("url("), at, Qt::CaseInsensitive);
    if (open < 0) return;
    at = open + 4;
    while (at < length && isSpace(css[at])) ++at;
    if (at >= length || css[at] == QLatin1Char(')')) return;  // nothing to take: the scan ends
    qsizetype close = css.indexOf(QLatin1Char(')'), at);
    if (close < 0) close = length;
    qsizetype begin = at;
    qsizetype end = close;
    while (end > begin && isSpace(css[end - 1])) --end;
    while (begin < end && isQuote(css[begin])) ++begin;
    while (end > begin && isQuote(css[end - 1])) --end;
    while (begin < end && isSpace(css[begin])) ++begin;
    while (end > begin && isSpace(css[end - 1])) --end;
    found(begin, end);
    at = close;
  }
}

}  // namespace

QStringList CSSURLsFromString(const QString& css) {
  QStringList urls;
  scanReferences(css, [&](qsizetype begin, qsizetype end) { urls.append(css.mid(begin, end - begin)); });
  return urls;
}

QString rewriteCSSURLs(const QString& css,
                       const std::function<std::optional<QString>(const QString& url)>& replace) {
  QString out;
  qsizetype copied = 0;
  scanReferences(css, [&](qsizetype begin, qsizetype end) {
    std::optional<QString> replacement = replace(css.mid(begin, end - begin));
    if (!replacement) return;
    out.append(QStringView(css).mid(copied, begin - copied));
    out.append(*replacement);
    copied = end;
  });
  if (copied == 0) return css;
  out.append(QStringView(css).mid(copied));
  return out;
}

}  // namespace webpage
