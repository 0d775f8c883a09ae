// ambrevoli-copy [--label LABEL] DEST SRC...
//
// Runs one copy-engine request, with the home folder from $HOME (else the password database) and
// the default download probe, and prints its report as one JSON object on stdout. Exits 0
// whatever the report says, 2 for a usage error, 1 when the report cannot be written. Paths are
// used as given: like the engine, a relative one is `missing`.

#include "copy_engine.h"
#include "copy_summary.h"
#include "json_text.h"
#include "user_dirs.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace ambrevoli;

// A path is bytes, JSON text is UTF-8: a byte that starts no valid sequence becomes U+FFFD.
std::string validUtf8(std::string_view text)
{
    if (isValidUtf8(text))
        return std::string(text);
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (i + length <= text.size() && isValidUtf8(text.substr(i, length))) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

void appendString(std::string& out, std::string_view text)
{
    appendJsonString(out, validUtf8(text));
}

std::string reportJson(const CopyReport& report, const std::optional<std::string>& label)
{
    std::string out = "{\"destination\": ";
    appendString(out, report.destination);
    out += ", \"problem\": ";
    if (report.problem)
        appendString(out, textualForm(*report.problem));
    else
        out += "null";
    out += ", \"itemCount\": " + std::to_string(report.itemCount) + ", \"copied\": [";
    for (std::size_t i = 0; i < report.copied.size(); ++i) {
        out += i == 0 ? "{\"source\": " : ", {\"source\": ";
        appendString(out, report.copied[i].source);
        out += ", \"copy\": ";
        appendString(out, report.copied[i].copy);
        out += "}";
    }
    out += "], \"failed\": [";
    for (std::size_t i = 0; i < report.failed.size(); ++i) {
        out += i == 0 ? "{\"source\": " : ", {\"source\": ";
        appendString(out, report.failed[i].source);
        out += ", \"reason\": ";
        appendString(out, textualForm(report.failed[i].reason));
        out += "}";
    }
    out += "]";
    if (label) {
        const CopySummary summary(report, *label);
        out += ", \"summary\": {\"title\": ";
        appendString(out, summary.title);
        out += ", \"body\": ";
        appendString(out, summary.body);
        out += "}";
    }
    out += "}\n";
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::optional<std::string> label;
    if (arguments.size() >= 2 && arguments[0] == "--label") {
        label = arguments[1];
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() < 2) {
        std::fputs("usage: ambrevoli-copy [--label LABEL] DEST SRC...\n"
                   "Copies the sources into the folder DEST as Send To does (absolute paths)\n"
                   "and prints the report as JSON; with --label, also the notification's words.\n",
                   stderr);
        return 2;
    }
    adoptNumericLocaleFromEnvironment();
    const CopyEngine engine(homeDirectory().value_or(""), defaultDownloadProbe);
    const CopyReport report =
        engine.copyItems({arguments.begin() + 1, arguments.end()}, arguments.front());
    const std::string json = reportJson(report, label);
    return std::fwrite(json.data(), 1, json.size(), stdout) == json.size() &&
                   std::fflush(stdout) == 0
               ? 0
               : 1;
}
