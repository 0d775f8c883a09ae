#include "outcome_record.h"

#include "host_message.h"
#include "json_text.h"

#include <algorithm>
#include <charconv>

namespace ambrevoli {

namespace {

void appendRecord(std::string& out, char type, std::string_view text)
{
    out += type;
    out += text;
    out += '\0';
}

// The longest a progress record's text can be: four 19-digit figures and three spaces.
constexpr std::size_t maxFiguresSize = 4 * 19 + 3;

// A figure as encoded: decimal digits, no sign, no leading zero, within int64.
std::optional<std::int64_t> parseFigure(std::string_view text)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0') || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<ProgressFigures> parseFigures(std::string_view text)
{
    std::string_view fields[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t space = text.find(' ');
        if ((space == std::string_view::npos) != (i == 3))
            return std::nullopt;
        fields[i] = text.substr(0, space);
        text.remove_prefix(i == 3 ? text.size() : space + 1);
    }
    const auto itemsDone = parseFigure(fields[0]), itemsTotal = parseFigure(fields[1]),
               bytesDone = parseFigure(fields[2]);
    if (!itemsDone || !itemsTotal || !bytesDone || *itemsDone > *itemsTotal)
        return std::nullopt;
    ProgressFigures figures{*itemsDone, *itemsTotal, *bytesDone, std::nullopt};
    if (fields[3] != "-") {
        figures.bytesTotal = parseFigure(fields[3]);
        if (!figures.bytesTotal || *bytesDone > *figures.bytesTotal)
            return std::nullopt;
    }
    return figures;
}

} // namespace

std::string OutcomeRecord::encode() const
{
    std::string out;
    if (kind == Kind::end) {
        appendRecord(out, 'x', allCopied ? "1" : "0");
        return out;
    }
    if (kind == Kind::progress) {
        std::string text = std::to_string(figures.itemsDone) + ' ' +
                           std::to_string(figures.itemsTotal) + ' ' +
                           std::to_string(figures.bytesDone) + ' ' +
                           (figures.bytesTotal ? std::to_string(*figures.bytesTotal) : "-");
        appendRecord(out, 'p', text);
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
    if (type != 'l' && type != 'x' && type != 'p')
        return std::nullopt;
    const std::size_t longest = type == 'p' ? maxFiguresSize : HostMessage::maxSize;
    const std::size_t end = bytes.find('\0', 1);
    if (end == std::string_view::npos)
        return bytes.size() > 1 + longest ? std::nullopt : std::optional(DecodedOutcome{});
    const std::string_view text = bytes.substr(1, end - 1);
    if (type == 'p') {
        const auto figures = text.size() <= longest ? parseFigures(text) : std::nullopt;
        if (!figures)
            return std::nullopt;
        return DecodedOutcome{OutcomeRecord::progress(*figures), end + 1};
    }
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
