#pragma once

#include "core/updater/BundleFileList.h"

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>

// Lists a bundle folder as it is on disk. Links are never followed; files are hashed in chunks.
namespace BundleScanner {

// Throws std::runtime_error with a plain message: "unsupported entry: PATH" for anything but
// folders, regular files and links, or a name that cannot be listed; otherwise why a file could
// not be read. The relative paths in `skipped` are left out.
BundleFileList scan(const QString &bundleDir, const QList<QByteArray> &skipped = {});

} // namespace BundleScanner
