// A temporary folder of the test program's own: TMPDIR points into it while the tests run, so
// what the engine leaves in "the temporary folder" can be counted without other programs' files.
#pragma once

#include <QStringList>

namespace testsupport {

// Registers, once per program, a test environment that makes a fresh folder, points TMPDIR at
// it for the whole run (children such as servers inherit it) and removes it at the end.
// Returns true so it can initialise a static: `static const bool kPrivate = usePrivateTemporaryFolder();`
bool usePrivateTemporaryFolder();

// Names of the files in the temporary folder that tests did not make themselves (the folders of
// TempDir are left out): temporary body and download files left behind.
QStringList strayTemporaryFiles();

}  // namespace testsupport
