// Option groups of the request engine's development driver `fetch`. Each group (bodies, forms,
// authentication, cache, proxies...) lives in its own fetch_<group>.cpp and registers itself
// with FETCH_FEATURE; fetch_main.cpp parses the command line and runs the requests.
#pragma once

#include "http/http_request.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <vector>

class FetchFeature {
 public:
  virtual ~FetchFeature() = default;
  // The options this group adds to the command line.
  virtual QList<QCommandLineOption> options() const { return {}; }
  // Called once after parsing, before any request: class-wide settings. Returns false with
  // `*error` set when the options are unusable (fetch then exits with status 2).
  virtual bool configure(const QCommandLineParser& parser, QString* error) {
    (void)parser;
    (void)error;
    return true;
  }
  // The request for `url` when this group needs a request class of its own; null otherwise
  // (the first group that answers wins; a plain request is made when none does).
  virtual std::shared_ptr<http::HTTPRequest> makeRequest(const QUrl& url,
                                                         const QCommandLineParser& parser) {
    (void)url;
    (void)parser;
    return nullptr;
  }
  // Applies this group's options to a request before it starts (every mode: single, several
  // URLs one after another, a queued list).
  virtual void prepare(http::HTTPRequest& request, const QCommandLineParser& parser) {
    (void)request;
    (void)parser;
  }
  // Appends " name=value" fields (see addField) to the summary line of a request that has ended.
  virtual void summarize(const http::HTTPRequest& request, QByteArray* line) const {
    (void)request;
    (void)line;
  }
};

// Appends `text` in UTF-8 to `out` (ASCII, as most of what fetch prints, without a conversion).
inline void appendUtf8(QByteArray* out, QStringView text) {
  const qsizetype start = out->size();
  out->resize(start + text.size());
  char* to = out->data() + start;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c >= 0x80) {
      out->resize(start + i);
      out->append(text.mid(i).toUtf8());
      return;
    }
    *to++ = static_cast<char>(c);
  }
}

// Appends " name=value" to a summary line.
inline void addField(QByteArray* line, const char* name, qint64 value) {
  line->append(' ').append(name).append('=').append(QByteArray::number(value));
}
inline void addField(QByteArray* line, const char* name, const QString& value) {
  line->append(' ').append(name).append('=');
  appendUtf8(line, value);
}

// Every registered group, in registration order.
std::vector<std::unique_ptr<FetchFeature>>& fetchFeatures();

#define FETCH_FEATURE(Class) \
  static const bool Class##Registered = (fetchFeatures().push_back(std::make_unique<Class>()), true)
