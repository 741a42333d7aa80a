// The address of the update manifest: fixed when the program is built, never read at run time.
#pragma once

#include <QString>

namespace updater {

// The update manifest's URL (its path is "/wowplugin/AddonsUpdater.json").
QString manifestURL();

}  // namespace updater
