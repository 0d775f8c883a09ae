// Reads arbitrary bytes as a destinations file, as the file manager's extension does for every
// menu. Besides not crashing, a store that loads must hold no path with a NUL byte (the system
// would read it cut short) and must be written and read back unchanged.
#include "destination_store.h"
#include "paths.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ambrevoli;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto store = DestinationStore::decode(bytes);
    if (!store)
        return 0;
    for (const auto& destination : store->destinations())
        if (hasNulByte(destination.path()))
            std::abort();
    const auto written = store->jsonData();
    if (!written)
        std::abort(); // whatever the reader accepts, the writer must be able to write
    const auto again = DestinationStore::decode(*written);
    if (!again || !(*again == *store))
        std::abort();
    return 0;
}
