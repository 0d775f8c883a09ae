// Parses arbitrary text as a handoff URL. Only the exact texts that building produces may parse,
// so a parsed value's url() must give the input back, and must parse to the same value.
#include "handoff_url.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace ambrevoli;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = HandoffURL::parse(text);
    if (!parsed)
        return 0;
    if (parsed->url() != text)
        std::abort();
    if (HandoffURL::parse(parsed->url()) != parsed)
        std::abort();
    return 0;
}
