#pragma once

#include <QtCore/QString>

#include <atomic>

// Copies a bundle folder for packing: folders, regular files (with their modes) and symbolic
// links (as links). Anything else is refused before it is opened, so a fifo cannot stall the
// copy.
namespace BundleStager {

// destination must not exist. Throws ReleaseError: refused for an unsupported entry, failed
// for a copy error or when cancel is raised.
void copy(const QString &source, const QString &destination,
          const std::atomic_bool *cancel = nullptr);

} // namespace BundleStager
