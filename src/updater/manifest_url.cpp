// The build-time address of the update manifest.
#include "updater/manifest_url.h"

namespace updater {

QString manifestURL() { return QStringLiteral(UPDATER_MANIFEST_URL); }

}  // namespace updater
