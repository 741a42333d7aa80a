// A whole update, or the rollback of the last one, without a window: the controller behind the
// stand-in window, its status texts and progress line printed for a person or a script.
#pragma once

#include <QString>

#include <cstdio>

namespace updater {

struct HeadlessOptions {
  QString manifestURL;
  QString gameFolder;                  // used as it is (created when missing)
  QString concurrency = QStringLiteral("4");
  bool rollback = false;               // restore the last update instead of updating
  std::FILE* statusOut = stdout;       // every status text, one per line
  std::FILE* progressOut = nullptr;    // the progress line; none when null
  bool progressInPlace = false;        // redraw the progress line in place (a terminal)
  bool color = false;                  // status texts in bold, failures in red (a terminal)
};

// Runs in the QCoreApplication that must exist, and returns the exit status: 0 when every file was
// installed (or restored), 1 when the update server could not be read or any file failed.
int runHeadless(const HeadlessOptions& options);

}  // namespace updater
