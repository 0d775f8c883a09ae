// refresh_cost: what DestinationsModel::refresh() costs with 50 destinations — the host runs it
// before every copy — when nothing moved, and when one folder was renamed since the last
// refresh (found again through its bookmark, then saved). Peers measured in the same run: a
// plain stat() of the 50 paths, and one save of the destinations file (a durable atomic write),
// which a refresh that relocates must make.
//
// Builds its world in a temporary folder of its own, which it removes afterwards. Logs where the
// host would; bench/send_latency sends that to a file of the throwaway session.

#include "destinations_model.h"
#include "timing.h"

#include <QCoreApplication>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace ambrevoli;
using namespace ambrevoli::bench;

namespace {

constexpr int destinationCount = 50;
constexpr int warmup = 10;

[[noreturn]] void die(const std::string& message)
{
    std::fprintf(stderr, "refresh_cost: %s\n", message.c_str());
    std::exit(1);
}

// A temporary folder, removed with everything in it when the bench ends.
class World {
public:
    World()
    {
        std::string pattern = std::filesystem::temp_directory_path() / "ambrevoli-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            die("mkdtemp failed");
        m_path = pattern;
    }
    ~World()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

template <class Prepare, class Measure> Figures measure(int runs, Prepare prepare, Measure body)
{
    std::vector<double> samples;
    for (int i = 0; i < warmup + runs; ++i) {
        prepare(i);
        const auto start = Clock::now();
        body();
        const double elapsed = millisecondsSince(start);
        if (i >= warmup)
            samples.push_back(elapsed);
    }
    return figures(std::move(samples));
}

void nothing(int) {}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs < 1)
        die("usage: refresh_cost [RUNS]");
    QCoreApplication app(argc, argv);
    World world;
    // The bookmark search may look into the user's trash; here it finds the world's own.
    ::setenv("XDG_DATA_HOME", (world / "data").c_str(), 1);

    // Destinations side by side in one folder, as most people keep them.
    std::vector<std::string> folders;
    for (int i = 1; i <= destinationCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Folder %02d", i);
        folders.push_back(world / "Destinations/" + name);
        std::filesystem::create_directories(folders.back());
    }
    const std::string file = world / "data/ambrevoli/destinations.json";
    DestinationsModel model(file);
    if (model.addFolders(folders).size() != destinationCount)
        die("couldn't add the destinations");

    const Figures unmoved = measure(runs, nothing, [&] { model.refresh(); });

    const Figures stat50 = measure(runs, nothing, [&] {
        struct stat info {};
        for (const Destination& destination : model.library().store().destinations())
            if (::stat(destination.path().c_str(), &info) != 0)
                die("a destination is missing: " + destination.path());
    });

    // One folder renamed in place between refreshes, back and forth.
    const std::string moved = folders[destinationCount / 2];
    const std::string places[] = {moved + " (renamed)", moved};
    const Figures oneMoved = measure(
        runs, [&](int i) { std::filesystem::rename(places[(i + 1) % 2], places[i % 2]); },
        [&] { model.refresh(); });
    for (const Destination& destination : model.library().store().destinations())
        if (!model.missingIDs().empty() || !std::filesystem::is_directory(destination.path()))
            die("the renamed folder was not followed: " + destination.path());

    const DestinationStore store = model.library().store();
    const Figures save = measure(runs, nothing, [&] {
        if (!store.save(file))
            die("couldn't save " + file);
    });

    printHeader("Destinations refresh: " + std::to_string(destinationCount) + " destinations, " +
                std::to_string(runs) + " runs");
    printRow("refresh(), nothing moved", unmoved);
    printRow("peer: stat() of the 50 paths", stat50);
    printRatio("refresh / stat (medians)", unmoved, stat50);
    printTarget(5, unmoved);
    printRow("refresh(), one folder renamed", oneMoved);
    printRow("peer: one save of the destinations file", save);
    printRatio("refresh / save (medians)", oneMoved, save);
    printTarget(5, oneMoved);
    return 0;
}
