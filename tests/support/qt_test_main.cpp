// Entry point for test suites that need the platform's main thread: the suite runs on the thread
// of a QCoreApplication, so queued calls to the main thread are served while a test waits. Each
// run gets a private temporary folder (TMPDIR), so what a test finds there is its own doing.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
  const char* outer = std::getenv("TMPDIR");
  std::string folder = std::string(outer != nullptr && *outer != '\0' ? outer : "/tmp") +
                       "/updater-tests-XXXXXX";
  const bool privateFolder = ::mkdtemp(folder.data()) != nullptr;
  if (privateFolder) {
    // Search permission only: servers that tests start and that drop to other users (apache2's
    // and squid's workers) reach their own folders inside; nothing here becomes listable.
    ::chmod(folder.c_str(), 0711);
    ::setenv("TMPDIR", folder.c_str(), 1);
  }

  int result = 0;
  {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("updater-tests");
    QCoreApplication::setApplicationVersion("1.0");
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  if (privateFolder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  // The engine's network thread and the queues' workers live for the rest of the process: end it
  // here rather than tear down static state under their feet.
  std::fflush(nullptr);
  std::_Exit(result);
}
