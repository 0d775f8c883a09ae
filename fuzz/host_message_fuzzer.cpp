// Decodes arbitrary bytes as what crosses the host's socket: a sender's message, and the stream of
// outcome records a waiting sender reads. Besides not crashing, a message that decodes must come
// out of its encoder unchanged after another round, and each record read from the stream must
// be exactly the bytes it was read from, so that no two byte forms mean the same record.
#include "host_message.h"
#include "outcome_record.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ambrevoli;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto message = HostMessage::decode(bytes)) {
        const auto again = HostMessage::decode(message->encode());
        if (!again || !(*again == *message))
            std::abort();
    }
    for (;;) {
        const auto decoded = decodeOutcome(bytes);
        if (!decoded || decoded->consumed == 0)
            break;
        if (decoded->record.encode() != bytes.substr(0, decoded->consumed))
            std::abort();
        bytes.remove_prefix(decoded->consumed);
    }
    return 0;
}
