#include "copy_engine.h"

#include "copy_naming.h"
#include "destination_checks.h"
#include "destination_volume.h"
#include "dir_listing.h"
#include "lifted_protections.h"
#include "log.h"
#include "paths.h"
#include "tree_copy.h"
#include "uuid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <expected>
#include <numeric>
#include <optional>
#include <unordered_set>
#include <vector>

namespace ambrevoli {

namespace {

using Identities = std::unordered_set<FileID>;

// A copy's item under its temporary name, and the lock that marks it as live.
struct Temporary {
    std::string path;
    UniqueFd lock;
};

// A sweep for abandoned copies may take a new temporary item away in the moment before it is
// locked; a copy tries this many fresh names. Each loss takes a sweep meeting that moment.
constexpr int temporaryNameAttempts = 10;

// Copies `source` under a fresh temporary name in `destPath` into `temporary`. On failure the
// partial copy is already removed.
std::expected<void, TreeCopyFailure> copyToTemporary(const std::string& source,
                                                     const std::string& destPath, bool clone,
                                                     Temporary& temporary, CopyControl* control,
                                                     const TargetVolume& volume)
{
    for (int attempt = 1;; ++attempt) {
        temporary.path = joinPath(destPath, std::string(temporaryPrefix) + Uuid::random().text());
        auto copied = copyTree(source, temporary.path, clone, &temporary.lock, control, volume);
        if (copied)
            return copied;
        if (copied.error().created)
            removePartialCopy(temporary.path);
        temporary.lock.reset();
        if (copied.error() != TreeCopyFailure{EAGAIN, false} || attempt == temporaryNameAttempts)
            return copied;
    }
}

// Puts what was placed in the folder at `path` onto the device: the whole volume unless its
// files were synced one by one already, then the folder with the names placed in it. A failure
// is logged: the items are in place, and nothing better can be done about them.
void syncDestination(const std::string& path, const DeviceSync& sync, bool filesSynced)
{
    const UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int error = !folder ? errno : 0;
    if (error == 0 && !filesSynced)
        error = sync.volume(folder.get());
    if (error == 0)
        error = sync.file(folder.get());
    if (error != 0)
        logger("copy").log(LogLevel::error, "Couldn't sync the destination: errno ", error);
}

// Removes the item at `path` with everything beneath it, protections stripped first.
std::expected<void, SystemError> removeCopy(const std::string& path)
{
    stripProtections(path);
    return removeTree(path);
}

// Whether the placement of `temporary` in `destPath` failed with `error` because the volume
// refused the name: the item takes another plain temporary name there (and keeps it).
// An SFTP server passes its file system's refusal on as EACCES, or as a bare failure that GIO's
// FUSE bridge makes EIO; FAT's FUSE driver in Debian 13 answers EIO for a ':' itself. An EIO is
// a refusal only when the plain name works right after, as it would not on a failing disk or a
// dropped connection. And a FUSE server may lose the item in the failed rename (fusefat does),
// when a plain empty file made there instead tells.
bool placementRefusedTheName(int error, const std::string& destPath, Temporary& temporary)
{
    if (error != ENOENT && error != EINVAL && error != EPERM && error != EILSEQ &&
        error != EACCES && error != EIO)
        return false;
    std::string renamed = joinPath(destPath, std::string(temporaryPrefix) + Uuid::random().text());
    if (::rename(temporary.path.c_str(), renamed.c_str()) == 0) {
        temporary.path = std::move(renamed);
        return true;
    }
    // Gone: the file system's own cache of names may not know yet, so no lstat asks it.
    if (errno != ENOENT)
        return false;
    const std::string probe =
        joinPath(destPath, std::string(checkFilePrefix) + Uuid::random().text());
    const UniqueFd made(
        ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!made)
        return false;
    ::unlink(probe.c_str());
    return true;
}

// Whether `failure` is what a network share's local path answers once its connection dropped
// (a FUSE bridge passes I/O errors and ENOTCONN on; a kernel client ETIMEDOUT and the like).
// Whether it was the destination's connection is for the caller to find out.
bool connectionLost(const CopyFailure& failure)
{
    if (failure.kind != CopyFailure::Case::other)
        return false;
    const int error = failure.errorNumber;
    return error == EIO || error == ENODEV || isNetworkError(error);
}

CopyFailure treeCopyFailure(const TreeCopyFailure& failure, const std::string& path,
                            const std::string& home)
{
    switch (failure.refusal) {
    case TreeCopyFailure::Refusal::name: return CopyFailure::nameRefused();
    case TreeCopyFailure::Refusal::kind: return CopyFailure::kindRefused();
    case TreeCopyFailure::Refusal::none: break;
    }
    return itemFailureForErrno(failure.error, path, home);
}

// `dataArrived` tells whether the item's data was counted in `control`: it was copied, even if
// it could not be placed.
std::expected<CopiedItem, CopyFailure>
copyItem(const std::string& source, const std::string& destPath, const Identities& identities,
         const std::string& home, const DownloadProbe& isDownloaded, CopyControl* control,
         const TargetVolume& volume, bool& dataArrived)
{
    dataArrived = false;
    const std::string path = normalizedPath(source);
    if (!path.starts_with('/'))
        return std::unexpected(CopyFailure::missing());
    // The system would see only the text before the NUL, which may well name a real item.
    if (hasNulByte(path)) {
        logger("copy").log(LogLevel::error, "Refused a source path with a NUL byte");
        return std::unexpected(CopyFailure::missing());
    }

    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return std::unexpected(itemFailureForErrno(errno, path, home));
    const bool isDir = S_ISDIR(info.st_mode);
    if (isDir && identities.contains(FileID{static_cast<std::uint64_t>(info.st_dev), info.st_ino}))
        return std::unexpected(CopyFailure::intoItself());
    if (!isDownloaded(path))
        return std::unexpected(CopyFailure::notDownloaded());

    Temporary temporary;
    auto copied = copyToTemporary(path, destPath, /*clone=*/true, temporary, control, volume);
    // Folders that fail to clone as a whole get one plain copy more; a cancelled one does not.
    if (!copied && isDir && copied.error().refusal == TreeCopyFailure::Refusal::none &&
        (copied.error().error == EACCES || copied.error().error == EPERM))
        copied = copyToTemporary(path, destPath, /*clone=*/false, temporary, control, volume);
    if (!copied) {
        const TreeCopyFailure failure = copied.error();
        if (failure.error == ECANCELED && control && control->isCancelled())
            return std::unexpected(CopyFailure::cancelled());
        return std::unexpected(treeCopyFailure(failure, path, home));
    }
    dataArrived = true;

    const LiftedProtections lifted = LiftedProtections::lift(temporary.path);
    // Linux has no packages: a folder's name is never split at a dot.
    const CopyNamer namer(lastComponent(path), /*keepWhole=*/isDir);
    auto placed = placeUnderFreeName(temporary.path, destPath, namer);
    if (!placed) {
        const int error = placed.error().code;
        const bool nameRefused = placementRefusedTheName(error, destPath, temporary);
        removePartialCopy(temporary.path);
        return std::unexpected(nameRefused ? CopyFailure::nameRefused()
                                           : placementFailureForErrno(error));
    }

    const std::string finalPath = normalizedPath(*placed);
    if (const auto error = lifted.restore(finalPath))
        logger("copy").log(LogLevel::error, "Couldn't put a copy's lock or ACL back: errno ",
                           *error);
    return CopiedItem{source, finalPath, isDir};
}

} // namespace

bool defaultDownloadProbe(const std::string&) { return true; }

CopyEngine::CopyEngine(std::string home, DownloadProbe isDownloaded, DeviceSync sync)
    : m_home(std::move(home)), m_isDownloaded(std::move(isDownloaded)), m_sync(std::move(sync))
{
    if (!m_sync.file)
        m_sync.file = [](int fd) { return ::fsync(fd) == 0 ? 0 : errno; };
    if (!m_sync.volume)
        m_sync.volume = [](int fd) { return ::syncfs(fd) == 0 ? 0 : errno; };
}

CopyReport CopyEngine::copyItems(const std::vector<std::string>& sources,
                                 const std::string& destination,
                                 CopyControl* control) const noexcept
{
    CopyReport report;
    report.destination = destination;
    report.itemCount = static_cast<std::int64_t>(sources.size());

    const std::string destPath = normalizedPath(destination);
    if (hasNulByte(destPath)) {
        logger("copy").log(LogLevel::error, "Refused a destination path with a NUL byte");
        report.problem = DestinationProblem::missing();
        return report;
    }
    if (!destPath.starts_with('/')) {
        report.problem = DestinationProblem::missing();
        return report;
    }
    removeAbandonedTemporaries(destPath);
    if (auto problem = checkDestination(destPath, m_home)) {
        report.problem = problem;
        return report;
    }
    const Identities identities = destinationIdentities(destPath);
    const DestinationVolume volume = examineVolume(destPath);
    LeftOutMetadata leftOut;
    const bool syncFiles = volume.needsSync && volume.syncsFileByFile;
    const TargetVolume target{volume.maxFileSize, syncFiles ? m_sync.file : FileSync(), &leftOut,
                              volume.linkMetadataFollows};
    // Only a watched copy pays for learning its total.
    std::optional<std::vector<std::int64_t>> sizes;
    if (control) {
        std::vector<std::string> paths;
        paths.reserve(sources.size());
        for (const std::string& source : sources)
            paths.push_back(hasNulByte(source) ? std::string() : normalizedPath(source));
        sizes = measureSources(paths, *control);
        std::optional<std::int64_t> total;
        if (sizes)
            total = std::reduce(sizes->begin(), sizes->end(), std::int64_t{0});
        control->begin(report.itemCount, total);
    }

    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (control && control->isCancelled()) {
            for (std::size_t rest = i; rest < sources.size(); ++rest)
                report.failed.push_back({sources[rest], CopyFailure::cancelled()});
            break;
        }
        bool dataArrived = false;
        auto copied = copyItem(sources[i], destPath, identities, m_home, m_isDownloaded, control,
                               target, dataArrived);
        if (control) {
            // An item that failed before its data arrived passes its share over, so that the
            // bytes keep pace with the items; a cancelled one is past caring.
            if (sizes && !copied && !dataArrived && copied.error() != CopyFailure::cancelled())
                control->addBytes((*sizes)[i]);
            control->itemDone();
        }
        if (copied) {
            report.copied.push_back(std::move(*copied));
            continue;
        }
        // A lost connection is the destination's only when the destination stopped answering
        // too: the source may be the share that dropped. Nothing more can reach it then.
        if (connectionLost(copied.error()) && !isFolder(destPath)) {
            for (std::size_t rest = i; rest < sources.size(); ++rest)
                report.failed.push_back({sources[rest], CopyFailure::unreachable()});
            break;
        }
        if (copied.error() != CopyFailure::missing()) {
            report.failed.push_back({sources[i], copied.error()});
            continue;
        }
        // A missing item may mean the destination itself went away.
        if (isFolder(destPath)) {
            report.failed.push_back({sources[i], CopyFailure::missing()});
            continue;
        }
        for (std::size_t rest = i; rest < sources.size(); ++rest)
            report.failed.push_back({sources[rest], CopyFailure::destinationGone()});
        break;
    }
    if (!leftOut.empty())
        logger("copy").log(LogLevel::standard,
                           "Copied without what the destination can't hold: ", leftOut.text(),
                           volume.fileSystem.empty() ? "" : " (" + volume.fileSystem + ")");
    if (volume.needsSync && !report.copied.empty())
        syncDestination(destPath, m_sync, syncFiles);
    if (control) {
        report.cancelled = control->isCancelled();
        control->finish();
    }
    return report;
}

CopyFailure itemFailureForErrno(int error, const std::string& source, const std::string& home)
{
    switch (error) {
    case EPERM: return CopyFailure::notPermitted(isProtectedLocation(normalizedPath(source), home));
    case ENOENT:
    case ENOTDIR: return CopyFailure::missing();
    case EACCES: return CopyFailure::noPermission();
    case ENOSPC:
    case EDQUOT: return CopyFailure::outOfSpace();
    case ENAMETOOLONG: return CopyFailure::nameTooLong();
    case EFBIG: return CopyFailure::tooLarge();
    default: return CopyFailure::other(error);
    }
}

CopyFailure placementFailureForErrno(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT: return CopyFailure::outOfSpace();
    case ENAMETOOLONG: return CopyFailure::nameTooLong();
    case ENOENT:
    case ENOTDIR: return CopyFailure::missing();
    default: return CopyFailure::other(error);
    }
}

void removePartialCopy(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return;
    if (auto removed = removeCopy(path); !removed) {
        const std::string description = textualForm(removed.error());
        logger("copy").log(LogLevel::error,
                           "Couldn't remove a partial copy: ", Private{description});
    }
}

void removeAbandonedTemporaries(const std::string& destination)
{
    const std::string folderPath = normalizedPath(destination);
    if (!folderPath.starts_with('/'))
        return;
    // Gone, not a folder, or one the user may add to but not list (a drop box): nothing to do.
    const UniqueFd opened(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened)
        return;
    auto listing = DirListing::open(opened.get());
    if (!listing)
        return;
    // Collected first: the listing is not changed while it is read.
    std::vector<std::string> names;
    while (const dirent* entry = listing->next()) {
        const std::string_view name = entry->d_name;
        if (name.starts_with(temporaryPrefix) || name.starts_with(checkFilePrefix))
            names.emplace_back(name);
    }
    // What was read is swept all the same; the rest waits for the next copy.
    if (const auto error = listing->error())
        logError(logger("copy"), "Couldn't read a destination to its end", *error);
    const int folder = opened.get();
    for (const std::string& name : names) {
        const UniqueFd lock = lockAbandoned(folder, name.c_str());
        if (!lock)
            continue;
        const std::string path = joinPath(folderPath, name);
        if (auto removed = removeCopy(path); !removed) {
            const std::string description = textualForm(removed.error());
            logger("copy").log(
                LogLevel::error,
                "Couldn't remove a temporary item no copy was holding: ", Private{description});
        } else {
            logger("copy").log(LogLevel::standard,
                               "Removed a temporary item no copy was holding: ", Private{path});
        }
    }
}

} // namespace ambrevoli
