// Decodes arbitrary bytes as a request file. Besides not crashing, a request that decodes must
// survive a round trip through the writer unchanged (its time is whole seconds already).
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
    const auto encoded = decoded->jsonData();
    if (!encoded)
        std::abort(); // whatever the reader accepts, the writer must be able to write
    const auto again = SendRequest::decode(*encoded);
    if (!again || !(*again == *decoded))
        std::abort();
    return 0;
}
