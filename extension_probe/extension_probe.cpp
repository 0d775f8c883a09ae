#include "extension_probe.h"

#include "desktop_names.h"
#include "dir_listing.h"
#include "paths.h"
#include "probed_modules.h"
#include "translation.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace ambrevoli {

namespace {

constexpr std::size_t fileManagerCount = 5;

struct Known {
    FileManager fileManager;
    std::string_view name;
    // Its process names (comm), whichever way it was started.
    std::array<std::string_view, 2> processNames;
    // The XDG_CURRENT_DESKTOP entry of the desktop it comes with.
    std::string_view desktop;
    // Whether it loads modules only when it starts, rather than as it needs them.
    bool loadsAtStart;
};

// In the order of FileManager.
constexpr std::array<Known, fileManagerCount> known{
    Known{FileManager::files, "Files", {"nautilus", {}}, "GNOME", true},
    Known{FileManager::nemo, "Nemo", {"nemo", {}}, "X-Cinnamon", true},
    Known{FileManager::caja, "Caja", {"caja", {}}, "MATE", true},
    // Older installations start it as "Thunar".
    Known{FileManager::thunar, "Thunar", {"thunar", "Thunar"}, "XFCE", true},
    Known{FileManager::dolphin, "Dolphin", {"dolphin", {}}, "KDE", false},
};

const Known& knownAbout(FileManager fileManager)
{
    return known.at(static_cast<std::size_t>(std::to_underlying(fileManager)));
}

bool isAllDigits(std::string_view name)
{
    return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openAt(int folder, const std::string& name)
{
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return nullptr;
    File file(::fdopen(fd, "r"));
    if (!file)
        ::close(fd);
    return file;
}

// The file manager the process is, if it is one.
std::optional<FileManager> fileManagerOf(int processFolder)
{
    File comm = openAt(processFolder, "comm");
    if (!comm)
        return std::nullopt;
    char name[64] = {};
    if (!std::fgets(name, sizeof name, comm.get()))
        return std::nullopt;
    std::string_view text(name);
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    for (const Known& candidate : known)
        for (std::string_view processName : candidate.processNames)
            if (!processName.empty() && text == processName)
                return candidate.fileManager;
    return std::nullopt;
}

// A line of /proc/<pid>/maps maps `path` when it ends with it; a file replaced since it was
// mapped (a newer installation) is still what the process runs, shown with " (deleted)".
bool mapsPath(std::string_view line, const std::vector<std::string>& paths)
{
    if (line.ends_with('\n'))
        line.remove_suffix(1);
    if (line.ends_with(" (deleted)"))
        line.remove_suffix(std::string_view(" (deleted)").size());
    for (const std::string& path : paths)
        if (line.ends_with(path) && line.size() > path.size() &&
            line[line.size() - path.size() - 1] == ' ')
            return true;
    return false;
}

// Yes, no, or unknown (the maps could not be read: the process is gone or not ours to read).
enum class Loaded { yes, no, unknown };

Loaded hasMapped(int processFolder, const std::vector<std::string>& paths)
{
    File maps = openAt(processFolder, "maps");
    if (!maps)
        return Loaded::unknown;
    char* line = nullptr;
    std::size_t capacity = 0;
    bool mapsAnything = false;
    Loaded loaded = Loaded::no;
    while (::getline(&line, &capacity, maps.get()) > 0) {
        mapsAnything = true;
        if (mapsPath(line, paths)) {
            loaded = Loaded::yes;
            break;
        }
    }
    const bool failed = std::ferror(maps.get());
    std::free(line);
    // A running program maps at least itself: empty maps belong to one that has ended and not
    // been reaped yet, such as the file manager that was just
    // asked to quit.
    if (loaded == Loaded::no && (failed || !mapsAnything))
        return Loaded::unknown;
    return loaded;
}

// The names under which the process maps show `modulePath`: the maps name the file a link leads
// to.
std::vector<std::string> mappedNames(const std::string& modulePath)
{
    std::vector<std::string> paths{modulePath};
    if (std::string resolved = canonicalPath(modulePath).value_or(modulePath);
        resolved != modulePath)
        paths.push_back(std::move(resolved));
    return paths;
}

// What the process table shows of one file manager.
struct Seen {
    bool running = false;
    bool lacking = false; // a process of it started before its installed module was there
};

// Looks at `user`'s processes under `procRoot` for each known file manager; a file manager whose
// entry in `modulePaths` is empty has no module installed, and nothing is looked up in its maps.
std::array<Seen, fileManagerCount>
lookAtProcesses(const std::array<std::string, fileManagerCount>& modulePaths,
                const std::string& procRoot, uid_t user)
{
    std::array<std::vector<std::string>, fileManagerCount> mapped;
    for (std::size_t i = 0; i < fileManagerCount; ++i)
        if (!modulePaths[i].empty() && known[i].loadsAtStart)
            mapped[i] = mappedNames(modulePaths[i]);

    std::array<Seen, fileManagerCount> seen{};
    UniqueFd root(::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto entries = root ? DirListing::open(root.get()) : std::unexpected(SystemError::last());
    if (!entries)
        return seen; // no process table to look at: nothing is known to run
    while (const dirent* entry = entries->next()) {
        if (!isAllDigits(entry->d_name))
            continue;
        UniqueFd process(
            ::openat(root.get(), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        struct stat owner {};
        if (!process || ::fstat(process.get(), &owner) != 0 || owner.st_uid != user)
            continue;
        const std::optional<FileManager> fileManager = fileManagerOf(process.get());
        if (!fileManager)
            continue;
        const auto index = static_cast<std::size_t>(std::to_underlying(*fileManager));
        seen[index].running = true;
        if (!mapped[index].empty() && !seen[index].lacking &&
            hasMapped(process.get(), mapped[index]) == Loaded::no)
            seen[index].lacking = true;
    }
    return seen;
}

// Which of several running file managers the status is about: one that lacks its module, since
// that one needs a restart, before one that has it loaded (an integration that is on counts)
// before one without a module.
int precedence(ExtensionState state)
{
    switch (state) {
    case ExtensionState::notInstalled: return 0;
    case ExtensionState::notLoaded: return 2;
    case ExtensionState::enabled: return 1;
    }
    return 0;
}

} // namespace

std::string_view fileManagerName(FileManager fileManager) { return knownAbout(fileManager).name; }

std::string shownFileManagerName(FileManager fileManager)
{
    if (fileManager == FileManager::files)
        // TRANSLATORS: GNOME's file manager, named as the desktop names it in your language.
        return translate("Files");
    return std::string(fileManagerName(fileManager));
}

FileManager desktopFileManager(std::string_view currentDesktop)
{
    for (const std::string_view desktop : desktopNames(currentDesktop))
        for (const Known& candidate : known)
            if (desktop == candidate.desktop)
                return candidate.fileManager;
    return FileManager::files;
}

std::vector<FileManagerModule> builtModules()
{
    std::vector<FileManagerModule> modules;
    for (const ProbedModule& module : probedModules)
        modules.push_back({module.fileManager, module.modulePath});
    return modules;
}

bool isModuleInstalled(const std::string& modulePath)
{
    struct stat module {};
    return ::stat(modulePath.c_str(), &module) == 0 && S_ISREG(module.st_mode);
}

ExtensionStatus extensionStatus(const std::vector<FileManagerModule>& modules,
                                const std::string& procRoot, uid_t user, FileManager preferred)
{
    std::array<std::string, fileManagerCount> installed;
    for (const FileManagerModule& module : modules)
        if (isModuleInstalled(module.modulePath))
            installed.at(static_cast<std::size_t>(std::to_underlying(module.fileManager))) =
                module.modulePath;
    const std::array<Seen, fileManagerCount> seen = lookAtProcesses(installed, procRoot, user);

    const auto stateOf = [&](std::size_t index) {
        if (installed[index].empty())
            return ExtensionState::notInstalled;
        return seen[index].lacking ? ExtensionState::notLoaded : ExtensionState::enabled;
    };
    // The preferred file manager first, so that it wins a tie.
    std::vector<std::size_t> order{static_cast<std::size_t>(std::to_underlying(preferred))};
    for (std::size_t i = 0; i < fileManagerCount; ++i)
        if (i != order.front())
            order.push_back(i);

    std::optional<std::size_t> chosen;
    for (const std::size_t index : order)
        if (seen[index].running &&
            (!chosen || precedence(stateOf(index)) > precedence(stateOf(*chosen))))
            chosen = index;
    const std::size_t index = chosen.value_or(order.front());
    return {known[index].fileManager, stateOf(index)};
}

ExtensionStatus extensionStatus()
{
    return extensionStatus(builtModules(), "/proc", ::getuid(),
                           desktopFileManager(currentDesktopList()));
}

} // namespace ambrevoli
