// Decodes arbitrary bytes as a request file. Besides not crashing, a request that decodes must
// hold no source or volume root with a NUL byte (the system would read it cut short), never name
// a volume and a folder to choose at once, and survive a round trip through the writer unchanged
// (its time is whole seconds already).
#include "paths.h"
#include "send_request.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ambrevoli;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto decoded = SendRequest::decode(bytes);
    if (!decoded)
        return 0;
    for (const auto& source : decoded->sources())
        if (hasNulByte(source))
            std::abort();
    if (const auto& volume = decoded->volume();
        volume && (hasNulByte(volume->root) || decoded->choosesFolder()))
        std::abort();
    const auto encoded = decoded->jsonData();
    if (!encoded)
        std::abort(); // whatever the reader accepts, the writer must be able to write
    const auto again = SendRequest::decode(*encoded);
    if (!again || !(*again == *decoded))
        std::abort();
    return 0;
}
