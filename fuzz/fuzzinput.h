#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// The fuzzer's bytes, taken from the front; past the end everything reads as zero.
struct FuzzInput {
    const std::uint8_t *data;
    std::size_t size, pos = 0;

    bool atEnd() const { return pos >= size; }
    std::uint8_t byte() { return atEnd() ? 0 : data[pos++]; }
    int word() { return byte() | (byte() << 8); }
    std::int32_t int32() { return std::int32_t(std::uint32_t(word()) | (std::uint32_t(word()) << 16)); }
    QByteArray bytes(std::size_t n)
    {
        const std::size_t take = atEnd() ? 0 : std::min(n, size - pos);
        pos += take;
        return QByteArray(reinterpret_cast<const char *>(data + pos - take), int(take));
    }
};
