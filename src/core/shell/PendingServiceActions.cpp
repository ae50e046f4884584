#include "core/shell/PendingServiceActions.h"

PendingServiceActions &PendingServiceActions::shared()
{
    static PendingServiceActions instance;
    return instance;
}

std::optional<QStringList> PendingServiceActions::quickProjectPaths()
{
    std::lock_guard lock(m_queue);
    return m_quickProjectPaths;
}

void PendingServiceActions::setQuickProjectPaths(std::optional<QStringList> paths)
{
    std::lock_guard lock(m_queue);
    m_quickProjectPaths = std::move(paths);
}

std::optional<QStringList> PendingServiceActions::missingFilesPaths()
{
    std::lock_guard lock(m_queue);
    return m_missingFilesPaths;
}

void PendingServiceActions::setMissingFilesPaths(std::optional<QStringList> paths)
{
    std::lock_guard lock(m_queue);
    m_missingFilesPaths = std::move(paths);
}

std::optional<QStringList> PendingServiceActions::takeQuickProjectPaths()
{
    std::lock_guard lock(m_queue);
    return std::exchange(m_quickProjectPaths, std::nullopt);
}

std::optional<QStringList> PendingServiceActions::takeMissingFilesPaths()
{
    std::lock_guard lock(m_queue);
    return std::exchange(m_missingFilesPaths, std::nullopt);
}
