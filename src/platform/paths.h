// Where the program keeps files: the system temporary folder, the user's caches folder and home.
#pragma once

#include <QString>

namespace platform {

// The system temporary folder (no trailing "/").
QString temporaryFolder();
// A path in the temporary folder under a globally unique name; nothing is created there.
QString uniqueTemporaryPath();
// The user's caches folder (created when missing).
QString cachesFolder();
// The user's home folder.
QString homeFolder();

}  // namespace platform
