// Reads arbitrary bytes as a connection's stream through the frame reader, as the host does. The
// first byte picks the size of the pieces the stream arrives in, the second the largest message
// allowed. Besides not crashing, the reader must come to the same frame however the stream is
// cut, keep every byte (the message framed again, then the rest, is the stream), and refuse a
// frame only for the length it gives.
#include "wire_frame.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ambrevoli;
    if (size < 2)
        return 0;
    const std::size_t piece = std::size_t(data[0]) + 1;
    const std::size_t maxSize = std::size_t(data[1]) * 16;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    FrameReader whole(maxSize), pieces(maxSize);
    whole.feed(stream);
    for (std::size_t at = 0; at < stream.size(); at += piece)
        pieces.feed(stream.substr(at, piece));
    if (whole.state() != pieces.state() || whole.message() != pieces.message() ||
        whole.rest() != pieces.rest())
        std::abort();

    std::size_t length = 0;
    for (std::size_t i = 0; i < 4 && i < stream.size(); ++i)
        length = length << 8 | static_cast<unsigned char>(stream[i]);
    switch (whole.state()) {
    case FrameReader::State::complete:
        if (framed(whole.message()) + std::string(whole.rest()) != stream || length > maxSize)
            std::abort();
        break;
    case FrameReader::State::oversized:
        if (stream.size() < 4 || length <= maxSize)
            std::abort();
        break;
    case FrameReader::State::incomplete:
        if (stream.size() >= 4 && (length > maxSize || stream.size() >= 4 + length))
            std::abort();
        break;
    }
    return 0;
}
