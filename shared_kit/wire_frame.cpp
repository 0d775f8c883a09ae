#include "wire_frame.h"

#include <cstdint>

namespace ambrevoli {

namespace {

constexpr std::size_t lengthSize = 4;

} // namespace

std::string framed(std::string_view encoded)
{
    const auto size = static_cast<std::uint32_t>(encoded.size());
    std::string out{static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                    static_cast<char>(size >> 8), static_cast<char>(size)};
    out += encoded;
    return out;
}

FrameReader::State FrameReader::feed(std::string_view bytes)
{
    if (m_state == State::oversized)
        return m_state;
    m_bytes += bytes;
    if (m_state == State::complete || m_bytes.size() < lengthSize)
        return m_state;
    if (m_end == 0) {
        const auto* head = reinterpret_cast<const unsigned char*>(m_bytes.data());
        const std::size_t length = std::size_t(head[0]) << 24 | std::size_t(head[1]) << 16 |
                                   std::size_t(head[2]) << 8 | std::size_t(head[3]);
        if (length > m_maxSize) {
            // Whatever else it sends is not worth keeping.
            m_bytes = {};
            return m_state = State::oversized;
        }
        m_end = lengthSize + length;
    }
    if (m_bytes.size() >= m_end)
        m_state = State::complete;
    return m_state;
}

std::string_view FrameReader::message() const
{
    if (m_state != State::complete)
        return {};
    return std::string_view(m_bytes).substr(lengthSize, m_end - lengthSize);
}

std::string_view FrameReader::rest() const
{
    if (m_state != State::complete)
        return {};
    return std::string_view(m_bytes).substr(m_end);
}

} // namespace ambrevoli
