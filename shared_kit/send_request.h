#pragma once

#include "error.h"
#include "uuid.h"

#include <cstdint>
#include <expected>
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

// One order to send some items to one destination. Immutable; travels as a small JSON file
// through the request inbox.
class SendRequest {
public:
    static constexpr std::int64_t currentVersion = 1;

    using DecodeFailure = std::variant<SendRequestError, DecodeError>;

    // `version` is always currentVersion. `sources` are kept exactly: order and duplicates.
    SendRequest(Uuid id, double createdAt, Uuid destinationID, std::vector<std::string> sources);

    std::int64_t version() const { return m_version; }
    const Uuid& id() const { return m_id; }
    double createdAt() const { return m_createdAt; }
    const Uuid& destinationID() const { return m_destinationID; }
    const std::vector<std::string>& sources() const { return m_sources; }

    // The compact JSON form: keys in the order version, id, createdAt, destinationID, sources;
    // "/" written as "\/"; createdAt in whole seconds. Fails when a source is not UTF-8 or holds
    // a NUL byte, or the time cannot be written as an internet date-time.
    std::expected<std::string, EncodeError> jsonData() const;

    // Reads the JSON form. Another version fails with unsupportedVersion before any other key is
    // looked at; anything else malformed, a source holding a NUL byte included, is a
    // DecodeError. Extra keys are ignored.
    static std::expected<SendRequest, DecodeFailure> decode(std::string_view bytes);

    friend bool operator==(const SendRequest&, const SendRequest&) = default;

private:
    std::int64_t m_version = currentVersion;
    Uuid m_id;
    double m_createdAt;
    Uuid m_destinationID;
    std::vector<std::string> m_sources;
};

} // namespace ambrevoli
