#pragma once

#include "uuid.h"

#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

// The custom-scheme URLs with which a sender wakes the host: "ambrevoli://settings",
// "ambrevoli://send?request=<UUID>", and the undo of a send, "ambrevoli://undo?request=<UUID>"
// or "ambrevoli://undo?request=last" (the latest send). Parsing accepts exactly the texts that
// building produces.
class HandoffURL {
public:
    static constexpr std::string_view scheme = "ambrevoli";

    static HandoffURL send(Uuid requestID) { return HandoffURL(Kind::send, requestID); }
    static HandoffURL settings() { return HandoffURL(Kind::settings, Uuid()); }
    // The undo of the send `requestID`; without one, of the latest send.
    static HandoffURL undo(std::optional<Uuid> requestID)
    {
        return requestID ? HandoffURL(Kind::undo, *requestID) : HandoffURL(Kind::undoLast, Uuid());
    }

    // Parses `url`; yields no value for anything but the two exact forms above (the identifier
    // in upper case). Never fails otherwise and logs nothing.
    static std::optional<HandoffURL> parse(std::string_view url);

    bool isSettings() const { return m_kind == Kind::settings; }
    bool isUndo() const { return m_kind == Kind::undo || m_kind == Kind::undoLast; }
    // The request identifier of a send value; no value for settings or an undo.
    std::optional<Uuid> requestID() const;
    // The request an undo names; no value for the latest send, or for anything but an undo.
    std::optional<Uuid> undoneRequestID() const;

    // The URL text; always succeeds.
    std::string url() const;

    friend bool operator==(const HandoffURL&, const HandoffURL&) = default;

private:
    enum class Kind { send, settings, undo, undoLast };
    HandoffURL(Kind kind, Uuid requestID) : m_kind(kind), m_requestID(requestID) {}

    Kind m_kind;
    Uuid m_requestID; // nil for settings and undoLast, so equality needs no special case
};

} // namespace ambrevoli
