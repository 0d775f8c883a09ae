#include "host_message.h"

#include "json_text.h"

#include <algorithm>
#include <cstdint>

namespace ambrevoli {

namespace {

constexpr std::string_view magic{"AMBV1\0", 6};

void appendRecord(std::string& out, char type, std::string_view text)
{
    out += type;
    out += text;
    out += '\0';
}

} // namespace

std::string HostMessage::encode() const
{
    std::string out(magic);
    appendRecord(out, 'a', activates ? "1" : "0");
    for (const std::string& url : urls)
        appendRecord(out, 'u', url);
    for (const std::string& folder : addFolders)
        appendRecord(out, 'f', folder);
    if (!activationToken.empty())
        appendRecord(out, 't', activationToken);
    if (reopens)
        appendRecord(out, 'r', "");
    if (waitsForOutcome)
        appendRecord(out, 'w', "");
    return out;
}

std::optional<HostMessage> HostMessage::decode(std::string_view bytes)
{
    if (bytes.size() > maxSize || !bytes.starts_with(magic))
        return std::nullopt;
    HostMessage message;
    bool sawActivates = false;
    std::size_t pos = magic.size();
    while (pos < bytes.size()) {
        const char type = bytes[pos++];
        const std::size_t end = bytes.find('\0', pos);
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view text = bytes.substr(pos, end - pos);
        if (!isValidUtf8(text))
            return std::nullopt;
        pos = end + 1;
        switch (type) {
        case 'a':
            if (sawActivates || (text != "0" && text != "1"))
                return std::nullopt;
            sawActivates = true;
            message.activates = text == "1";
            break;
        case 'u': message.urls.emplace_back(text); break;
        case 'f':
            if (!text.starts_with('/'))
                return std::nullopt;
            message.addFolders.emplace_back(text);
            break;
        case 't':
            if (!message.activationToken.empty() || text.empty())
                return std::nullopt;
            message.activationToken = text;
            break;
        case 'r':
            if (message.reopens || !text.empty())
                return std::nullopt;
            message.reopens = true;
            break;
        case 'w':
            if (message.waitsForOutcome || !text.empty())
                return std::nullopt;
            message.waitsForOutcome = true;
            break;
        default: return std::nullopt;
        }
    }
    if (!sawActivates)
        return std::nullopt;
    return message;
}

std::string framed(std::string_view encoded)
{
    const auto size = static_cast<std::uint32_t>(encoded.size());
    std::string out{static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                    static_cast<char>(size >> 8), static_cast<char>(size)};
    out += encoded;
    return out;
}

std::string OutcomeRecord::encode() const
{
    std::string out;
    if (kind == Kind::end) {
        appendRecord(out, 'x', allCopied ? "1" : "0");
        return out;
    }
    std::string clean = text;
    std::erase(clean, '\0');
    appendRecord(out, 'l', clean);
    return out;
}

std::optional<DecodedOutcome> decodeOutcome(std::string_view bytes)
{
    if (bytes.empty())
        return DecodedOutcome{};
    const char type = bytes[0];
    if (type != 'l' && type != 'x')
        return std::nullopt;
    const std::size_t end = bytes.find('\0', 1);
    if (end == std::string_view::npos)
        return bytes.size() > HostMessage::maxSize ? std::nullopt : std::optional(DecodedOutcome{});
    const std::string_view text = bytes.substr(1, end - 1);
    if (type == 'x') {
        if (text != "0" && text != "1")
            return std::nullopt;
        return DecodedOutcome{OutcomeRecord::end(text == "1"), end + 1};
    }
    if (text.size() > HostMessage::maxSize || !isValidUtf8(text))
        return std::nullopt;
    return DecodedOutcome{OutcomeRecord::line(std::string(text)), end + 1};
}

} // namespace ambrevoli
