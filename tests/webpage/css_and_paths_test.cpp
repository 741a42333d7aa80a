// The CSS url( scanner, rewriting references in place, and relative paths between saved files.
#include "webpage/css_scanner.h"
#include "webpage/relative_path.h"
#include "webpage/web_page_request.h"

#include <gtest/gtest.h>

namespace {

TEST(CSSScannerTest, FindsTheBareURLOfEveryReference) {
  struct Case {
    const char* css;
    QStringList urls;
  } cases[] = {
      {"a { background: url(x.png) }", {"x.png"}},
      {"a { background: url(\"x.png\") }", {"x.png"}},
      {"a { background: url('x.png') }", {"x.png"}},
      {"a { background: url( 'y.png' ) }", {"y.png"}},
      {"a { background: url(  \" spaced.png \"  ) }", {"spaced.png"}},
      {"a { background: URL(upper.png) } b { x: Url(mixed.png) }", {"upper.png", "mixed.png"}},
      {"@import url(a.css);\n.b { c: url(\n  b.png\n) }", {"a.css", "b.png"}},
      {"a { b: url(x.png) } c { d: url() } e { f: url(never.png) }", {"x.png"}},
      {"a { b: url(   ) } c { d: url(never.png) }", {}},
      {"a { b: url(\"\") }", {""}},
      {"a { b: url(unterminated.png", {"unterminated.png"}},
      {"no references at all", {}},
      {"a { b: url(data:image/png;base64,AAAA) }", {"data:image/png;base64,AAAA"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.css);
    EXPECT_EQ(webpage::CSSURLsFromString(QString::fromUtf8(c.css)), c.urls);
    EXPECT_EQ(webpage::WebPageRequest::CSSURLsFromString(QString::fromUtf8(c.css)), c.urls);
  }
}

TEST(CSSScannerTest, RewritingChangesOnlyTheURLInsideEachReference) {
  // "a.png" is also the tail of "img/a.png" and appears as plain text: only whole references change.
  const QString css = QStringLiteral(
      "x { background: url('img/a.png') } y { background: url( a.png ) } /* a.png */ z { c: url(keep.png) }");
  const QString rewritten = webpage::rewriteCSSURLs(css, [](const QString& url) -> std::optional<QString> {
    if (url == QLatin1String("a.png")) return QStringLiteral("A");
    if (url == QLatin1String("img/a.png")) return QStringLiteral("IMG");
    return std::nullopt;
  });
  EXPECT_EQ(rewritten, QStringLiteral(
      "x { background: url('IMG') } y { background: url( A ) } /* a.png */ z { c: url(keep.png) }"));
  EXPECT_EQ(webpage::rewriteCSSURLs(css, [](const QString&) { return std::optional<QString>(); }), css);
}

TEST(RelativePathTest, LeadsFromTheSavedDocumentToTheSavedResource) {
  struct Case {
    const char* to;
    const char* from;
    const char* expected;
  } cases[] = {
      {"/a/c/x.png", "/a/b/page.html", "../c/x.png"},
      {"/out/page_files/X.png", "/out/page.html", "page_files/X.png"},
      {"/out/page_files/Y.png", "/out/page_files/X.css", "Y.png"},
      {"/a/x.png", "/a/b/c/page.html", "../../x.png"},
      {"/z/x.png", "/a/page.html", "../z/x.png"},
      // No component of the from-path differs: the computation gives nothing.
      {"/a/b", "/a/b/page.html", ""},
      {"/a/b/page.html", "/a/b/page.html", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    EXPECT_EQ(webpage::WebPageRequest::relativePathTo(QString::fromUtf8(c.to), QString::fromUtf8(c.from)),
              QString::fromUtf8(c.expected));
  }
}

}  // namespace
