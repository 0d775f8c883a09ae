#pragma once

#include <string_view>

// What a waiting sender may send after its message: a cancel, a single byte. The host then
// cancels every copy of the message's requests, also those that have not started yet. A
// connection that merely closes cancels nothing.

namespace ambrevoli {

inline constexpr char cancelMark = 'c';

// Whether `bytes`, sent after the message, ask to cancel: any cancelMark among them does. Other
// bytes mean nothing and are dropped.
inline bool asksToCancel(std::string_view bytes)
{
    return bytes.find(cancelMark) != std::string_view::npos;
}

} // namespace ambrevoli
