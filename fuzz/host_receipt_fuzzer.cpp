// Decodes arbitrary bytes as the host's answer to a message, as a sender does. The first byte is
// the number of folders the message named. Besides not crashing, a receipt that decodes must be
// exactly the bytes it was read from, and reading it as it arrives, byte by byte, must never
// contradict what the whole answer yields: what was refused stays refused, and a receipt found
// early is the one found at the end.
#include "host_receipt.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ambrevoli;
    if (size < 1)
        return 0;
    const std::size_t folders = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    const auto whole = decodeReceipt(bytes, folders);
    if (whole && whole->consumed > 0 &&
        (whole->consumed != 1 + folders || whole->receipt.folders.size() != folders ||
         whole->receipt.encode() != bytes.substr(0, whole->consumed)))
        std::abort();
    for (std::size_t arrived = 0; arrived < bytes.size(); ++arrived) {
        const auto early = decodeReceipt(bytes.substr(0, arrived), folders);
        if (!early && whole)
            std::abort();
        if (early && early->consumed > 0 &&
            (!whole || whole->consumed != early->consumed || !(whole->receipt == early->receipt)))
            std::abort();
    }
    return 0;
}
