// Entry point for test suites that need the platform's main thread: the suite runs on the thread
// of a QCoreApplication, so queued calls to the main thread are served while a test waits.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("updater-tests");
  QCoreApplication::setApplicationVersion("1.0");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
