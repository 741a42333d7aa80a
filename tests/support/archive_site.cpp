// The generated archive test site: pages, style sheets, a script and images made at test time.
#include "support/archive_site.h"

#include "support/temp_dir.h"

#include <QProcess>
#include <QStringList>

namespace testsupport {
namespace {

bool convert(const QStringList& args) {
  QProcess process;
  process.start(QStringLiteral("convert"), args);
  return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
         process.exitCode() == 0;
}

QString str(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

std::string archiveSiteServerConfig() {
  return "include /etc/nginx/mime.types;\n"
         "    gzip on; gzip_min_length 0; gzip_types text/css application/javascript;\n"
         "    location = /index.html { charset utf-8; }\n"
         "    location /slow/ { limit_rate 1m; }\n";
}

bool writePng(const std::filesystem::path& path, int width, int height, const std::string& colour) {
  std::filesystem::create_directories(path.parent_path());
  return convert({QStringLiteral("-size"), QStringLiteral("%1x%2").arg(width).arg(height),
                  QString::fromStdString("xc:" + colour), str(path)});
}

bool writeArchiveSite(const std::filesystem::path& root, quint16 port) {
  const std::string origin = "127.0.0.1:" + std::to_string(port);
  writeFile(root / "index.html",
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Archive test</title>\n"
            "<link rel=\"stylesheet\" href=\"css/main.css\">\n"
            "<link rel=\"icon\" href=\"/favicon.png\">\n"
            "<style>.stripes { background: url('img/stripes.png') repeat-x; height: 20px; }</style>\n"
            "<script src=\"/js/app.js\"></script>\n"
            "</head><body>\n"
            "<h1>Saved page \xC3\xA9t\xC3\xA9</h1>\n"
            "<div class=\"box imported\">imported rule</div>\n"
            "<div class=\"stripes\"></div>\n"
            "<div style=\"background-image: url(&quot;img/dots.png&quot;); width: 60px; height: 30px\"></div>\n"
            "<img src=\"img/photo.jpg\" width=\"64\" height=\"48\">\n"
            "<img src=\"//" + origin + "/img/logo.svg\" width=\"40\" height=\"40\">\n"
            "<img src=\"http://" + origin + "/img/absolute.png\">\n"
            "<img src=\"img/caf\xC3\xA9.png\">\n"
            "<iframe src=\"frame.html\" width=\"120\" height=\"60\"></iframe>\n"
            "<video poster=\"img/poster.png\" width=\"80\" height=\"40\">"
            "<source src=\"media/clip.webm\" type=\"video/webm\"></video>\n"
            "<p id=\"scripted\">script did not run</p>\n"
            "<p><a href=\"latin1.html\">the other page</a></p>\n"
            "</body></html>\n");
  writeFile(root / "css/main.css",
            "@import url(\"base.css\");\n"
            ".box { background: url( ../img/tile.png ) repeat; border: 3px solid #336; padding: 4px; }\n");
  writeFile(root / "css/base.css",
            ".imported { color: #a00; font-weight: bold; }\n"
            "h1 { background: url('../img/corner.png') no-repeat right; }\n");
  writeFile(root / "js/app.js",
            "document.addEventListener('DOMContentLoaded', function () {\n"
            "  document.getElementById('scripted').textContent = 'script ran';\n});\n");
  writeFile(root / "frame.html",
            "<html><body style=\"margin:0; background:#cfc\"><img src=\"img/frame.png\"></body></html>\n");
  writeFile(root / "img/logo.svg",
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"40\">"
            "<circle cx=\"20\" cy=\"20\" r=\"18\" fill=\"#c60\"/></svg>\n");
  writeFile(root / "media/clip.webm", "not a real video");
  // ISO Latin-1 text, no charset from the server: the <meta> names it.
  writeFile(root / "latin1.html",
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"
            "<title>Gr\xF6\xDF" "e</title></head><body style=\"background: url(img/gr\xF6\xDF" "e.png)\">\n"
            "<p>Gr\xF6\xDF" "e und Stra\xDF" "e</p><img src=\"img/gr\xF6\xDF" "e.png\"></body></html>\n");
  return writePng(root / "img/stripes.png", 8, 20, "#4a7") && writePng(root / "img/dots.png", 6, 6, "#d4d") &&
         writePng(root / "img/tile.png", 10, 10, "#ccf") && writePng(root / "img/corner.png", 24, 24, "#f80") &&
         writePng(root / "img/absolute.png", 30, 12, "#088") && writePng(root / "img/caf\xC3\xA9.png", 16, 16, "#800") &&
         writePng(root / "img/frame.png", 20, 20, "#00f") && writePng(root / "img/poster.png", 80, 40, "#777") &&
         writePng(root / "img/gr\xC3\xB6\xC3\x9F" "e.png", 12, 12, "#0a0") && writePng(root / "favicon.png", 16, 16, "#000") &&
         convert({QStringLiteral("-size"), QStringLiteral("64x48"), QStringLiteral("gradient:#35a-#fd3"),
                  str(root / "img/photo.jpg")});
}

}  // namespace testsupport
