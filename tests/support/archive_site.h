// A small but realistic web site for page-archiving tests, written into a folder that nginx
// serves: style sheets with @import and url(), style elements and attributes, PNG, JPEG and SVG
// images, a script, a frame, video with poster and sources, relative, absolute and
// protocol-relative URLs, a page in ISO Latin-1 and one in UTF-8 with non-ASCII file names.
#pragma once

#include <QString>

#include <filesystem>
#include <string>

namespace testsupport {

// nginx directives the site needs in its server block: real MIME types, gzip for text, and the
// charset of each page (index.html names utf-8; latin1.html names none and relies on <meta>),
// and /slow/ sent at 1 MB/s.
std::string archiveSiteServerConfig();

// Writes the site into `root`. Absolute and protocol-relative URLs point at 127.0.0.1:`port`.
// Images are made with ImageMagick's convert; false when that failed.
bool writeArchiveSite(const std::filesystem::path& root, quint16 port);

// Writes a PNG of `width` x `height` in one colour (an ImageMagick colour name) to `path`.
bool writePng(const std::filesystem::path& path, int width, int height, const std::string& colour);

}  // namespace testsupport
