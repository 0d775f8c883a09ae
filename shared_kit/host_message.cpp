#include "host_message.h"

#include "json_text.h"

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
    if (wantsProgress)
        appendRecord(out, 'p', "");
    if (hasDisplay)
        appendRecord(out, 'd', "");
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
        case 'p':
            if (message.wantsProgress || !text.empty())
                return std::nullopt;
            message.wantsProgress = true;
            break;
        case 'd':
            if (message.hasDisplay || !text.empty())
                return std::nullopt;
            message.hasDisplay = true;
            break;
        default: return std::nullopt;
        }
    }
    if (!sawActivates || (message.wantsProgress && !message.waitsForOutcome))
        return std::nullopt;
    return message;
}

} // namespace ambrevoli
