#pragma once

#include <QtCore/QStringList>

#include <mutex>
#include <optional>

// Window requests that arrived before the app context could take them: one slot per window, in
// memory only. A new request replaces the parked one; an empty list is a request too.
class PendingServiceActions {
public:
    static PendingServiceActions &shared();

    std::optional<QStringList> quickProjectPaths();
    void setQuickProjectPaths(std::optional<QStringList> paths);
    std::optional<QStringList> missingFilesPaths();
    void setMissingFilesPaths(std::optional<QStringList> paths);
    // Read and clear in one step, so a request parked meanwhile is not lost.
    std::optional<QStringList> takeQuickProjectPaths();
    std::optional<QStringList> takeMissingFilesPaths();

private:
    PendingServiceActions() = default;

    std::mutex m_queue; // stands in for "com.vorlanta.pendingServiceActions"
    std::optional<QStringList> m_quickProjectPaths;
    std::optional<QStringList> m_missingFilesPaths;
};
