#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// How a message crosses the running host's socket: its length (4 bytes, most significant
// first), then its bytes. The length lets the host tell a whole message from part of one, and
// refuse one that is too large before it arrives.

namespace ambrevoli {

// `encoded` framed. It must be shorter than 4 GiB; messages are capped far below that.
std::string framed(std::string_view encoded);

// Gathers one framed message from the bytes of a connection as they arrive, in pieces of any
// size. Bytes that arrive after the message are kept apart: they are the sender's, not the
// message's. Not thread-safe; one reader per connection.
class FrameReader {
public:
    enum class State {
        incomplete, // the length or part of the message still to come
        complete,   // message() holds the whole message
        oversized,  // the length given is above maxSize; nothing more is taken in
    };

    explicit FrameReader(std::size_t maxSize) : m_maxSize(maxSize) {}

    // Takes in the next bytes received and says how far the frame has come. Once it is
    // complete, every further byte goes to rest(); once it is oversized, none is kept.
    State feed(std::string_view bytes);
    State state() const { return m_state; }

    // The message, once complete; empty before.
    std::string_view message() const;
    // What arrived after the message; empty before it is complete.
    std::string_view rest() const;

private:
    std::size_t m_maxSize;
    State m_state = State::incomplete;
    std::string m_bytes;   // the length and what has come of the message; then the rest too
    std::size_t m_end = 0; // where the message ends in m_bytes, once the length is in
};

} // namespace ambrevoli
