#include "send_request.h"

#include "date_time.h"
#include "json_text.h"
#include "paths.h"

#include <nlohmann/json.hpp>

namespace ambrevoli {

std::string textualForm(const SendRequestError& e)
{
    return caseText("unsupportedVersion", std::to_string(e.version));
}

std::string_view errorDomain(const SendRequestError&) { return "AmbrevoliKit.SendRequestError"; }
long errorCode(const SendRequestError& e) { return static_cast<long>(e.kind); }

SendRequest::SendRequest(Uuid id, double createdAt, Uuid destinationID,
                         std::vector<std::string> sources)
    : m_id(id), m_createdAt(createdAt), m_destinationID(destinationID),
      m_sources(std::move(sources))
{}

SendRequest SendRequest::toVolume(Uuid id, double createdAt, VolumeTarget volume,
                                  std::vector<std::string> sources)
{
    SendRequest request(id, createdAt, Uuid(), std::move(sources));
    request.m_volume = std::move(volume);
    return request;
}

SendRequest SendRequest::choosingFolder(Uuid id, double createdAt, std::vector<std::string> sources)
{
    SendRequest request(id, createdAt, Uuid(), std::move(sources));
    request.m_choosesFolder = true;
    return request;
}

std::expected<std::string, EncodeError> SendRequest::jsonData() const
{
    const auto createdAt = internetDateTime(m_createdAt);
    if (!createdAt)
        return std::unexpected(EncodeError{"createdAt is not a representable date"});

    std::string out = "{\"version\":" + std::to_string(m_version) + ",\"id\":";
    appendJsonString(out, m_id.text());
    out += ",\"createdAt\":";
    appendJsonString(out, *createdAt);
    out += ",\"destinationID\":";
    appendJsonString(out, m_destinationID.text());
    out += ",\"sources\":[";
    for (std::size_t i = 0; i < m_sources.size(); ++i) {
        // JSON text is Unicode; a path in another encoding would be written unreadably.
        if (!isValidUtf8(m_sources[i]))
            return std::unexpected(EncodeError{"source " + std::to_string(i) + " is not UTF-8"});
        if (hasNulByte(m_sources[i]))
            return std::unexpected(EncodeError{"source " + std::to_string(i) + " holds a NUL"});
        if (i > 0)
            out += ',';
        appendJsonString(out, m_sources[i]);
    }
    out += ']';
    if (m_volume) {
        // A root the host could not stat as written would make it treat the volume as gone.
        if (!m_volume->root.starts_with('/') || !isValidUtf8(m_volume->root) ||
            hasNulByte(m_volume->root))
            return std::unexpected(EncodeError{"the volume's root is not an absolute path"});
        if (m_volume->identity.empty() || !isValidUtf8(m_volume->identity))
            return std::unexpected(EncodeError{"the volume's identity is empty or not UTF-8"});
        out += ",\"volume\":{\"root\":";
        appendJsonString(out, m_volume->root);
        out += ",\"identity\":";
        appendJsonString(out, m_volume->identity);
        out += '}';
    } else if (m_choosesFolder) {
        out += ",\"chooseFolder\":true";
    }
    out += '}';
    return out;
}

namespace {

using Json = nlohmann::json;

std::unexpected<SendRequest::DecodeFailure> dataError(std::string description)
{
    return std::unexpected(SendRequest::DecodeFailure(DecodeError{std::move(description)}));
}

const Json* member(const Json& object, const char* key)
{
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<Uuid> uuidMember(const Json& object, const char* key)
{
    const Json* value = member(object, key);
    if (!value || !value->is_string())
        return std::nullopt;
    return Uuid::parse(value->get_ref<const std::string&>());
}

const std::string* stringMember(const Json& object, const char* key)
{
    const Json* value = member(object, key);
    if (!value || !value->is_string())
        return nullptr;
    return &value->get_ref<const std::string&>();
}

} // namespace

std::expected<SendRequest, SendRequest::DecodeFailure> SendRequest::decode(std::string_view bytes)
{
    Json root = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (root.is_discarded())
        return dataError("the data is not valid JSON");
    if (!root.is_object())
        return dataError("the top level is not an object");

    const Json* version = member(root, "version");
    if (!version || !version->is_number_integer())
        return dataError("\"version\" is missing or not an integer");
    if (version->is_number_unsigned() && version->get<std::uint64_t>() > INT64_MAX)
        return dataError("\"version\" is out of range");
    const auto versionValue = version->get<std::int64_t>();
    if (versionValue != currentVersion)
        return std::unexpected(DecodeFailure(SendRequestError::unsupportedVersion(versionValue)));

    const auto id = uuidMember(root, "id");
    if (!id)
        return dataError("\"id\" is missing or not an identifier");

    const Json* createdAtValue = member(root, "createdAt");
    if (!createdAtValue || !createdAtValue->is_string())
        return dataError("\"createdAt\" is missing or not a string");
    const auto createdAt = parseInternetDateTime(createdAtValue->get_ref<const std::string&>());
    if (!createdAt)
        return dataError("\"createdAt\" is not an internet date-time");

    const auto destinationID = uuidMember(root, "destinationID");
    if (!destinationID)
        return dataError("\"destinationID\" is missing or not an identifier");

    const Json* sourcesValue = member(root, "sources");
    if (!sourcesValue || !sourcesValue->is_array())
        return dataError("\"sources\" is missing or not an array");
    std::vector<std::string> sources;
    sources.reserve(sourcesValue->size());
    for (const Json& source : *sourcesValue) {
        if (!source.is_string())
            return dataError("\"sources\" holds something other than a string");
        // JSON can carry "\u0000"; a path holding it would reach the system cut short and name
        // another item.
        if (hasNulByte(source.get_ref<const std::string&>()))
            return dataError("\"sources\" holds a path with a NUL byte");
        sources.push_back(source.get<std::string>());
    }

    SendRequest request(*id, *createdAt, *destinationID, std::move(sources));
    if (const Json* volume = member(root, "volume")) {
        if (!volume->is_object())
            return dataError("\"volume\" is not an object");
        const std::string* volumeRoot = stringMember(*volume, "root");
        const std::string* identity = stringMember(*volume, "identity");
        if (!volumeRoot || !volumeRoot->starts_with('/') || hasNulByte(*volumeRoot))
            return dataError("\"volume\" has no absolute \"root\"");
        if (!identity || identity->empty())
            return dataError("\"volume\" has no \"identity\"");
        request.m_volume = VolumeTarget{*volumeRoot, *identity};
    }
    if (const Json* choose = member(root, "chooseFolder")) {
        if (!choose->is_boolean())
            return dataError("\"chooseFolder\" is not a boolean");
        request.m_choosesFolder = choose->get<bool>();
    }
    // Each names where the items go: a request naming two places is not carried out at all.
    if (request.m_volume && request.m_choosesFolder)
        return dataError("\"volume\" and \"chooseFolder\" together");
    if ((request.m_volume || request.m_choosesFolder) && *destinationID != Uuid())
        return dataError("a destination besides a volume or a folder to choose");
    return request;
}

} // namespace ambrevoli
