#pragma once

#include "error.h"
#include "uuid.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ambrevoli {

// A request file's version is not the one this build reads.
struct SendRequestError {
    enum class Case { unsupportedVersion };

    Case kind;
    std::int64_t version; // the value found in the "version" key

    static SendRequestError unsupportedVersion(std::int64_t version)
    {
        return {Case::unsupportedVersion, version};
    }

    friend bool operator==(const SendRequestError&, const SendRequestError&) = default;
};

std::string textualForm(const SendRequestError& e); // "unsupportedVersion(2)"
std::string_view errorDomain(const SendRequestError& e);
long errorCode(const SendRequestError& e);

// The root of a mounted volume as the menu saw it: where it was mounted and the identity of the
// file system there (volumeIdentity()), so that the host copies into that very volume and no
// other mounted at the same place since.
struct VolumeTarget {
    std::string root;
    std::string identity;

    friend bool operator==(const VolumeTarget&, const VolumeTarget&) = default;
};

// One order to send some items to one place: a destination of the list, the root of a mounted
// volume, or a folder the host is to ask the user for. Immutable; travels as a small JSON file
// through the request inbox.
class SendRequest {
public:
    static constexpr std::int64_t currentVersion = 1;

    using DecodeFailure = std::variant<SendRequestError, DecodeError>;

    // `version` is always currentVersion. `sources` are kept exactly: order and duplicates.
    SendRequest(Uuid id, double createdAt, Uuid destinationID, std::vector<std::string> sources);

    // A send to the root of `volume`; the destinationID is nil.
    static SendRequest toVolume(Uuid id, double createdAt, VolumeTarget volume,
                                std::vector<std::string> sources);

    // A send into a folder the user is yet to choose; the destinationID is nil.
    static SendRequest choosingFolder(Uuid id, double createdAt, std::vector<std::string> sources);

    std::int64_t version() const { return m_version; }
    const Uuid& id() const { return m_id; }
    double createdAt() const { return m_createdAt; }
    const Uuid& destinationID() const { return m_destinationID; }
    const std::vector<std::string>& sources() const { return m_sources; }
    const std::optional<VolumeTarget>& volume() const { return m_volume; }
    bool choosesFolder() const { return m_choosesFolder; }

    // The compact JSON form: keys in the order version, id, createdAt, destinationID, sources,
    // then "volume" ({"root", "identity"}) or "chooseFolder" (true) when the request has one;
    // "/" written as "\/"; createdAt in whole seconds. Fails when a source is not UTF-8 or holds
    // a NUL byte, the time cannot be written as an internet date-time, or a volume's root is not
    // an absolute UTF-8 path without NUL bytes or its identity is empty or not UTF-8.
    std::expected<std::string, EncodeError> jsonData() const;

    // Reads the JSON form. Another version fails with unsupportedVersion before any other key is
    // looked at; anything else malformed, a source holding a NUL byte included, is a
    // DecodeError. So is a "volume" that is not an object with an absolute "root" and a
    // non-empty "identity", a "chooseFolder" that is not a boolean, both at once, or either with
    // a destinationID other than nil. Extra keys are ignored.
    static std::expected<SendRequest, DecodeFailure> decode(std::string_view bytes);

    friend bool operator==(const SendRequest&, const SendRequest&) = default;

private:
    std::int64_t m_version = currentVersion;
    Uuid m_id;
    double m_createdAt;
    Uuid m_destinationID;
    std::vector<std::string> m_sources;
    std::optional<VolumeTarget> m_volume;
    bool m_choosesFolder = false;
};

} // namespace ambrevoli
