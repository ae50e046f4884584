#pragma once

#include <cstdint>

namespace sandbox {

// Where a part lies in the finished file when the client cuts it as planned.
struct PartSpan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// How many part URLs a file of a given size gets. The client cuts a file into as many equal
// parts of ceil(size / urls) bytes as it gets URLs; object stores refuse a non-last part below
// 5 MiB, so the URL count is the largest that keeps every part but the last at that minimum.
class PartPlan {
public:
    static constexpr std::uint64_t kMinPartSize = 5ull * 1024 * 1024;
    static constexpr std::uint32_t kMaxParts = 10000;

    explicit PartPlan(std::uint64_t fileSize);

    // The smallest part handed out (at least kMinPartSize); set once at start.
    static void setTargetPartSize(std::uint64_t bytes);
    static std::uint64_t targetPartSize();

    std::uint64_t fileSize() const { return m_fileSize; }
    // The number of presigned URLs handed out (at least 1, also for an empty file).
    std::uint32_t urlCount() const { return m_urlCount; }
    // ceil(fileSize / urlCount), the length of every part but the last.
    std::uint64_t partSize() const;
    // The parts the client sends: none for an empty file, else one per URL.
    std::uint32_t partCount() const;
    // Length of part k (1-based, k <= partCount()).
    std::uint64_t partLength(std::uint32_t part) const;
    // Offset and length of part k (1-based, k <= partCount()).
    PartSpan partSpan(std::uint32_t part) const
    {
        return {(part - 1) * partSize(), partLength(part)};
    }

private:
    std::uint64_t m_fileSize;
    std::uint32_t m_urlCount;
};

} // namespace sandbox
