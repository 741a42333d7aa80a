// Shared set-up of the request-body tests: running a request in each of the three ways a caller
// can (synchronously, asynchronously, through a request queue), test bytes and gzip checks.
#pragma once

#include "http/http_request.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>

namespace testsupport {

enum class RunMode { Synchronous, Asynchronous, Queued };
const char* runModeName(RunMode mode);

// Runs `request` the way `mode` says and waits (bounded) until it has finished or failed (and,
// queued, until its queue counted it as ended). Returns false when it did not end in time.
bool runRequest(const std::shared_ptr<http::HTTPRequest>& request, RunMode mode,
                std::chrono::milliseconds limit = std::chrono::seconds(60));

// `size` bytes that differ between seeds and do not repeat with a short period.
QByteArray patternBytes(qint64 size, unsigned seed = 1);
// Writes `size` pattern bytes to `path` in pieces (for files too large to hold at once).
bool writePatternFile(const QString& path, qint64 size, unsigned seed = 1);
// True when the two files hold the same bytes.
bool sameFileContents(const QString& a, const QString& b);

// The inflation of a gzip body (a null array when it is not gzip).
QByteArray gunzip(const QByteArray& data);

}  // namespace testsupport
