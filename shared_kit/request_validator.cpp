#include "request_validator.h"

#include "paths.h"

#include <sys/stat.h>

namespace ambrevoli {

std::string textualForm(const RequestValidationError& e)
{
    using enum RequestValidationError::Case;
    switch (e.kind) {
    case unknownDestination: return caseText("unknownDestination", e.destinationID.text());
    case expired: return caseText("expired");
    case datedInTheFuture: return caseText("datedInTheFuture");
    case noSources: return caseText("noSources");
    }
    return "unknown";
}

std::string_view errorDomain(const RequestValidationError&)
{
    return "AmbrevoliKit.RequestValidationError";
}

long errorCode(const RequestValidationError& e) { return static_cast<long>(e.kind); }

bool RequestValidator::entryExists(const std::string& path)
{
    struct stat info {};
    return !hasNulByte(path) && ::lstat(path.c_str(), &info) == 0;
}

std::expected<ValidatedRequest, RequestValidationError>
RequestValidator::validate(const SendRequest& request, const DestinationStore& store,
                           double now) const
{
    // Written as negated comparisons so that NaN fails them.
    const double age = now - request.createdAt();
    if (!(age <= m_maxAge))
        return std::unexpected(RequestValidationError::expired());
    if (!(age >= -allowedClockSkew))
        return std::unexpected(RequestValidationError::datedInTheFuture());

    std::optional<Destination> destination;
    if (request.volume())
        destination.emplace(Uuid(), lastComponent(request.volume()->root), request.volume()->root);
    else if (request.choosesFolder())
        destination.emplace(Uuid(), std::string(), std::string());
    else
        destination = store.destination(request.destinationID());
    if (!destination)
        return std::unexpected(RequestValidationError::unknownDestination(request.destinationID()));
    if (request.sources().empty())
        return std::unexpected(RequestValidationError::noSources());

    ValidatedRequest result{request.id(), std::move(*destination), {},
                            {},           request.volume(),        request.choosesFolder()};
    for (const std::string& source : request.sources()) {
        // The reader refuses a path with a NUL byte already; should one get here, it names
        // nothing, and no predicate is asked about it.
        if (source.starts_with('/') && !hasNulByte(source) && m_fileExists(source))
            result.sources.push_back(source);
        else
            result.missingSources.push_back(source);
    }
    return result;
}

} // namespace ambrevoli
