#pragma once

#include "destination.h"
#include "destination_store.h"
#include "error.h"
#include "send_request.h"
#include "uuid.h"

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ambrevoli {

// Why a request taken from the inbox is not carried out.
struct RequestValidationError {
    enum class Case { unknownDestination, expired, datedInTheFuture, noSources };

    Case kind;
    Uuid destinationID; // the request's destination, for unknownDestination; nil otherwise

    static RequestValidationError unknownDestination(Uuid destinationID)
    {
        return {Case::unknownDestination, destinationID};
    }
    static RequestValidationError expired() { return {Case::expired, Uuid()}; }
    static RequestValidationError datedInTheFuture() { return {Case::datedInTheFuture, Uuid()}; }
    static RequestValidationError noSources() { return {Case::noSources, Uuid()}; }

    friend bool operator==(const RequestValidationError&, const RequestValidationError&) = default;
};

// "unknownDestination(3F2C…)", "expired", "datedInTheFuture", "noSources"
std::string textualForm(const RequestValidationError& e);
std::string_view errorDomain(const RequestValidationError& e);
long errorCode(const RequestValidationError& e);

// A request that passed validation, with its sources sorted. Every source of the request is in
// exactly one of the two lists, in request order, duplicates kept, text unchanged.
struct ValidatedRequest {
    Uuid id;
    // A copy of the store's record at validation time. For a volume, a nil identifier, the
    // root's last component as label and the root as path; for a folder to choose, a nil
    // identifier and an empty label and path: there is nowhere to copy to yet.
    Destination destination;
    // Absolute sources that exist.
    std::vector<std::string> sources;
    // Relative sources, absolute ones that do not exist and any holding a NUL byte.
    std::vector<std::string> missingSources;
    // The request's volume, whose identity the host must still compare with what is mounted at
    // its root right before copying (isMountedVolume()).
    std::optional<VolumeTarget> volume = std::nullopt;
    bool choosesFolder = false;

    friend bool operator==(const ValidatedRequest&, const ValidatedRequest&) = default;
};

// Judges a taken request against the clock and the destinations before anything is copied.
// A plain value; validate() changes nothing and calls out only to `fileExists`.
class RequestValidator {
public:
    static constexpr double defaultMaxAge = 600.0;
    // How far ahead of now a request may be dated; independent of maxAge.
    static constexpr double allowedClockSkew = 60.0;

    // Tells whether something exists at an absolute path. Must be set, and safe to call from the
    // thread that runs validate().
    using FileExists = std::function<bool(const std::string&)>;

    RequestValidator(double maxAge, FileExists fileExists)
        : m_maxAge(maxAge), m_fileExists(std::move(fileExists))
    {}

    // The host's predicate: lstat() succeeds, so a final symbolic link is not followed and a
    // dangling one exists. A path holding a NUL byte does not exist. Thread-safe.
    static bool entryExists(const std::string& path);

    double maxAge() const { return m_maxAge; }

    // Checks in this order, the first failure deciding: age above maxAge (or not comparable, as
    // with NaN) is expired; dated more than allowedClockSkew seconds after `now` is
    // datedInTheFuture; a destinationID not in `store` is unknownDestination (not asked for a
    // volume or a folder to choose, which name no destination); an empty source list is
    // noSources. Whether a volume is still mounted is not looked at here. Then asks `fileExists`
    // once about each source beginning with "/" and holding no NUL byte, in order; every other
    // source is missing. A request whose sources are all missing is valid.
    std::expected<ValidatedRequest, RequestValidationError>
    validate(const SendRequest& request, const DestinationStore& store, double now) const;

private:
    double m_maxAge;
    FileExists m_fileExists;
};

} // namespace ambrevoli
