// ambrevoli-send: does exactly what a click in the file manager's Send To menu does — writes a
// request into the inbox and wakes the host without raising it. For other file managers' custom
// actions, for scripts, and for end-to-end tests.

#include "app_group.h"
#include "date_time.h"
#include "destination_store.h"
#include "host_launcher.h"
#include "send_request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace ambrevoli;

namespace {

constexpr int handedOff = 0, failed = 1, usageError = 2;

constexpr char usage[] =
    "Usage: ambrevoli-send --to LABEL|ID FILE...\n"
    "       ambrevoli-send --list\n"
    "\n"
    "Sends the FILEs to a Send To destination, as the file manager's menu does: the\n"
    "request goes to Ambrevoli, which copies them and tells you how it went.\n"
    "  --to LABEL|ID  the destination, by its label or its identifier\n"
    "  --list         show the destinations: label, folder, whether it is there, identifier\n"
    "Exit status: 0 handed off, 1 could not send, 2 usage error or no such destination.\n";

int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "ambrevoli-send: %s\n", message.c_str());
    return status;
}

std::expected<DestinationStore, std::string> loadDestinations()
{
    const auto group = AppGroup::fromMainBundle();
    if (!group)
        return std::unexpected("no app group: " + textualForm(group.error()));
    const auto file = group->destinationsFile();
    if (!file)
        return std::unexpected("the destinations can't be reached: " + textualForm(file.error()));
    auto store = DestinationStore::load(*file);
    if (!store)
        return std::unexpected("the destinations file can't be read (" +
                               textualForm(store.error()) + "): " + *file);
    return std::move(*store);
}

bool isFolder(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int list()
{
    const auto store = loadDestinations();
    if (!store)
        return fail(failed, store.error());
    for (const Destination& destination : store->destinations())
        std::printf("%s\t%s\t%s\t%s\n", destination.label().c_str(), destination.path().c_str(),
                    isFolder(destination.path()) ? "present" : "missing",
                    destination.id().text().c_str());
    return handedOff;
}

std::string absolute(const std::string& path)
{
    if (path.starts_with('/'))
        return path;
    std::unique_ptr<char, decltype(&std::free)> here(::getcwd(nullptr, 0), &std::free);
    if (!here)
        return path;
    const std::string folder = here.get();
    return (folder == "/" ? folder : folder + "/") + path;
}

int send(std::string_view to, const std::vector<std::string>& files)
{
    const auto store = loadDestinations();
    if (!store)
        return fail(failed, store.error());

    std::vector<Destination> matches;
    const auto id = Uuid::parse(to);
    for (const Destination& destination : store->destinations())
        if ((id && destination.id() == *id) || destination.label() == to)
            matches.push_back(destination);
    if (matches.empty())
        return fail(usageError, "no destination is called \"" + std::string(to) +
                                    "\" (see ambrevoli-send --list)");
    if (matches.size() > 1) {
        std::string ids;
        for (const Destination& destination : matches)
            ids += "\n  " + destination.id().text() + "  " + destination.path();
        return fail(usageError, "several destinations are called \"" + std::string(to) +
                                    "\"; name one by its identifier:" + ids);
    }

    std::vector<std::string> sources;
    for (const std::string& file : files)
        sources.push_back(absolute(file));
    const SendRequest request(Uuid::random(), now(), matches.front().id(), std::move(sources));

    const auto group = AppGroup::fromMainBundle();
    auto inbox = group ? group->requestInbox()
                       : std::expected<RequestInbox, AppGroupError>(std::unexpected(group.error()));
    if (!inbox)
        return fail(failed, "the request inbox can't be reached: " + textualForm(inbox.error()));
    if (auto written = inbox->write(request); !written)
        return fail(failed, "couldn't write the request: " + textualForm(written.error()));
    const std::string host = hostExecutable();
    if (auto opened = openWithHost(HandoffURL::send(request.id()), {host, false, {}}); !opened)
        return fail(failed, "couldn't start " + host + ": " + textualForm(opened.error()));
    return handedOff;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::fputs(usage, stdout);
        return handedOff;
    }
    if (arguments.size() == 1 && arguments[0] == "--list")
        return list();
    if (arguments.size() >= 3 && arguments[0] == "--to")
        return send(arguments[1], {arguments.begin() + 2, arguments.end()});
    std::fputs(usage, stderr);
    return usageError;
}
