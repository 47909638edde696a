#pragma once

// A byte ring with one producer and one consumer, its storage allocated once
// by the constructor. Neither side locks, allocates or blocks: a write that
// does not fit is refused whole, so records never tear.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

namespace korvane {

class ByteRing {
public:
    // Rounded up to a power of two.
    explicit ByteRing(std::size_t capacity)
    {
        std::size_t size = 64;
        while (size < capacity)
            size <<= 1;
        m_data.resize(size);
        m_mask = size - 1;
    }
    ByteRing(const ByteRing &) = delete;
    ByteRing &operator=(const ByteRing &) = delete;

    std::size_t capacity() const noexcept { return m_data.size(); }

    // Producer. All parts in order, or nothing when they do not fit.
    bool write(std::initializer_list<std::span<const std::uint8_t>> parts) noexcept
    {
        std::size_t needed = 0;
        for (const auto &part : parts)
            needed += part.size();
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        const std::size_t tail = m_tail.load(std::memory_order_acquire);
        if (m_data.size() - (head - tail) < needed)
            return false;
        std::size_t at = head;
        for (const auto &part : parts) {
            copyIn(at, part.data(), part.size());
            at += part.size();
        }
        m_head.store(at, std::memory_order_release);
        return true;
    }

    // Consumer.
    std::size_t readable() const noexcept
    {
        return m_head.load(std::memory_order_acquire) - m_tail.load(std::memory_order_relaxed);
    }
    // Copies `size` bytes from `offset` past the read position, leaving them queued.
    void peek(std::size_t offset, void *out, std::size_t size) const noexcept
    {
        if (size == 0)
            return;
        const std::size_t at = m_tail.load(std::memory_order_relaxed) + offset;
        const std::size_t first = std::min(size, m_data.size() - (at & m_mask));
        std::memcpy(out, m_data.data() + (at & m_mask), first);
        std::memcpy(static_cast<std::uint8_t *>(out) + first, m_data.data(), size - first);
    }
    void skip(std::size_t size) noexcept
    {
        m_tail.store(m_tail.load(std::memory_order_relaxed) + size, std::memory_order_release);
    }

private:
    void copyIn(std::size_t at, const std::uint8_t *data, std::size_t size) noexcept
    {
        if (size == 0)
            return;
        const std::size_t first = std::min(size, m_data.size() - (at & m_mask));
        std::memcpy(m_data.data() + (at & m_mask), data, first);
        std::memcpy(m_data.data(), data + first, size - first);
    }

    std::vector<std::uint8_t> m_data;
    std::size_t m_mask = 0;
    // Running totals of bytes written and read; their difference is the fill.
    alignas(64) std::atomic<std::size_t> m_head{0};
    alignas(64) std::atomic<std::size_t> m_tail{0};
};

} // namespace korvane
