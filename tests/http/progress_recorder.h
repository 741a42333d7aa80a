// A progress recipient for tests: a progress bar (value and maximum) that also records the byte
// and size reports it receives.
#pragma once

#include "http/http_request.h"

#include <vector>

namespace testsupport {

class ProgressRecorder : public platform::Object {
  PLATFORM_OBJECT
 public:
  void setDoubleValue(double value) { values.push_back(value); }
  void setMaxValue(double value) { maxValues.push_back(value); }
  void receivedBytes(const std::shared_ptr<http::HTTPRequest>&, qint64 amount) { received.push_back(amount); }
  void sentBytes(const std::shared_ptr<http::HTTPRequest>&, qint64 amount) { sent.push_back(amount); }
  void downloadSize(const std::shared_ptr<http::HTTPRequest>&, qint64 amount) { downloadSizes.push_back(amount); }
  void uploadSize(const std::shared_ptr<http::HTTPRequest>&, qint64 amount) { uploadSizes.push_back(amount); }

  std::vector<double> values;
  std::vector<double> maxValues;
  std::vector<qint64> received;
  std::vector<qint64> sent;
  std::vector<qint64> downloadSizes;
  std::vector<qint64> uploadSizes;
};

// Answers nothing at all.
class SilentRecipient : public platform::Object {
  PLATFORM_OBJECT
};

}  // namespace testsupport
