#include "extension_probe.h"

#include "dir_listing.h"
#include "paths.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace ambrevoli {

namespace {

// GNOME Files' process name (its comm), whichever way it was started.
constexpr std::string_view filesProcessName = "nautilus";

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

bool readsFilesProcessName(int processFolder)
{
    File comm = openAt(processFolder, "comm");
    if (!comm)
        return false;
    char name[64] = {};
    if (!std::fgets(name, sizeof name, comm.get()))
        return false;
    std::string_view text(name);
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    return text == filesProcessName;
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
    // been reaped yet, such as the Files that was just asked to quit.
    if (loaded == Loaded::no && (failed || !mapsAnything))
        return Loaded::unknown;
    return loaded;
}

} // namespace

std::string finderModuleInstallPath() { return AMBREVOLI_FINDER_MODULE_PATH; }

bool isFinderModuleInstalled(const std::string& modulePath)
{
    struct stat module {};
    return ::stat(modulePath.c_str(), &module) == 0 && S_ISREG(module.st_mode);
}

ExtensionState finderExtensionState(const std::string& modulePath, const std::string& procRoot,
                                    uid_t user)
{
    if (!isFinderModuleInstalled(modulePath))
        return ExtensionState::notInstalled;
    // The maps name the file the link leads to.
    std::vector<std::string> paths{modulePath};
    if (std::string resolved = canonicalPath(modulePath).value_or(modulePath);
        resolved != modulePath)
        paths.push_back(std::move(resolved));

    UniqueFd root(::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto entries = root ? DirListing::open(root.get()) : std::unexpected(SystemError::last());
    if (!entries)
        return ExtensionState::enabled; // no process table to look at: nothing is known to lack it
    while (const dirent* entry = entries->next()) {
        if (!isAllDigits(entry->d_name))
            continue;
        UniqueFd process(
            ::openat(root.get(), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        struct stat owner {};
        if (!process || ::fstat(process.get(), &owner) != 0 || owner.st_uid != user)
            continue;
        if (readsFilesProcessName(process.get()) && hasMapped(process.get(), paths) == Loaded::no)
            return ExtensionState::notLoaded;
    }
    return ExtensionState::enabled;
}

ExtensionState finderExtensionState()
{
    return finderExtensionState(finderModuleInstallPath(), "/proc", ::getuid());
}

bool isFinderExtensionEnabled(const std::string& modulePath, const std::string& procRoot,
                              uid_t user)
{
    return finderExtensionState(modulePath, procRoot, user) == ExtensionState::enabled;
}

bool isFinderExtensionEnabled() { return finderExtensionState() == ExtensionState::enabled; }

} // namespace ambrevoli
