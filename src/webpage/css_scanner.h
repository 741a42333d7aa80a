// The url(...) references of a CSS text: listing them and rewriting them in place.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace webpage {

// The URLs of every "url(" reference in `css`, in order (any case of "url("). Each is the text up
// to the next ")", with white space, then quotes and apostrophes at either end, then white space
// again trimmed off. The scan ends at a "url(" followed (after white space) by ")" or by the end.
QStringList CSSURLsFromString(const QString& css);

// `css` with the URL of each reference CSSURLsFromString would list replaced by what `replace`
// gives for it (nothing: left as written). Only the URL inside the parentheses changes; quotes
// and everything outside the references stay as they were.
QString rewriteCSSURLs(const QString& css,
                       const std::function<std::optional<QString>(const QString& url)>& replace);

}  // namespace webpage
