// Progress recipients for tests.
#include "progress_recorder.h"

namespace testsupport {

const platform::MethodTable& ProgressRecorder::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("setDoubleValue:", &ProgressRecorder::setDoubleValue),
      platform::method("setMaxValue:", &ProgressRecorder::setMaxValue),
      platform::method("request:didReceiveBytes:", &ProgressRecorder::receivedBytes),
      platform::method("request:didSendBytes:", &ProgressRecorder::sentBytes),
      platform::method("request:incrementDownloadSizeBy:", &ProgressRecorder::downloadSize),
      platform::method("request:incrementUploadSizeBy:", &ProgressRecorder::uploadSize),
  });
  return table;
}

const platform::MethodTable& SilentRecipient::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {});
  return table;
}

}  // namespace testsupport
