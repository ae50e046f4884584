#pragma once

#include <QtCore/QString>

// The file-manager entries Nautilus offers for selected files: it reads scripts only from the
// user's home, so the application writes them there at its first start.
namespace NautilusScripts {

// $XDG_DATA_HOME/nautilus/scripts.
QString directory();
// Writes each script that is not there yet; one the user removed or edited is left alone once
// written, since the folder is theirs.
void installIfMissing();

} // namespace NautilusScripts
