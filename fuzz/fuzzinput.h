#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// The fuzzer's bytes, taken from the front; past the end everything reads as zero.
class FuzzInput
{
public:
    FuzzInput(const std::uint8_t *data, std::size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    bool atEnd() const { return m_pos >= m_size; }
    std::uint8_t byte() { return atEnd() ? 0 : m_data[m_pos++]; }
    int word() { return byte() | (byte() << 8); }
    std::int32_t int32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= std::uint32_t(byte()) << (8 * i);
        return std::int32_t(v);
    }
    QByteArray bytes(std::size_t n)
    {
        const std::size_t take = atEnd() ? 0 : (n < m_size - m_pos ? n : m_size - m_pos);
        const QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), int(take));
        m_pos += take;
        return out;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};
