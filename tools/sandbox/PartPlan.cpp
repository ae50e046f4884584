#include "PartPlan.h"

#include <algorithm>
#include <atomic>

namespace sandbox {

namespace {
std::atomic<std::uint64_t> g_targetPartSize{PartPlan::kMinPartSize};
} // namespace

void PartPlan::setTargetPartSize(std::uint64_t bytes)
{
    g_targetPartSize = std::max(bytes, kMinPartSize);
}

std::uint64_t PartPlan::targetPartSize()
{
    return g_targetPartSize;
}

// With n = floor(size / target) URLs (target >= 5 MiB), ceil(size / n) >= size / n >= target, and
// the last part is never empty because (n - 1) * ceil(size / n) < size whenever (n - 1)^2 < size,
// which holds for n <= 10000 and size >= n * 5 MiB.
PartPlan::PartPlan(std::uint64_t fileSize)
    : m_fileSize(fileSize), m_urlCount(std::uint32_t(std::clamp<std::uint64_t>(
                                fileSize / targetPartSize(), 1, std::uint64_t(kMaxParts))))
{}

std::uint64_t PartPlan::partSize() const
{
    return (m_fileSize + m_urlCount - 1) / m_urlCount;
}

std::uint32_t PartPlan::partCount() const
{
    if (m_fileSize == 0) {
        return 0;
    }
    const std::uint64_t size = partSize();
    return std::uint32_t((m_fileSize + size - 1) / size);
}

std::uint64_t PartPlan::partLength(std::uint32_t part) const
{
    const std::uint64_t size = partSize();
    const std::uint64_t offset = std::uint64_t(part - 1) * size;
    return offset >= m_fileSize ? 0 : std::min(size, m_fileSize - offset);
}

} // namespace sandbox
