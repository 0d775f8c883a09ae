#include "undo_records.h"

#include "dir_listing.h"
#include "file_util.h"
#include "paths.h"
#include "placed_record.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ambrevoli {

namespace {

constexpr std::string_view recordSuffix = ".record";
constexpr std::string_view undoneSuffix = ".undone";

bool isExpired(const struct stat& info, std::time_t now)
{
    return now - info.st_mtim.tv_sec > UndoRecords::maxAge;
}

bool newer(const struct stat& a, const struct stat& b)
{
    return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                                : a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

// The request a record's file name names, for ".record" and ".undone" files.
std::optional<Uuid> requestOf(std::string_view name)
{
    for (const std::string_view suffix : {recordSuffix, undoneSuffix})
        if (name.ends_with(suffix))
            return Uuid::parse(name.substr(0, name.size() - suffix.size()));
    return std::nullopt;
}

LeftReason reasonFor(PlacedState state, int error)
{
    switch (state) {
    case PlacedState::changed: return {LeftReason::Case::changed};
    case PlacedState::replaced: return {LeftReason::Case::replaced};
    case PlacedState::gone: return {LeftReason::Case::gone};
    case PlacedState::unchecked:
    case PlacedState::unchanged: break;
    }
    return {LeftReason::Case::unchecked, error};
}

} // namespace

std::string textualForm(const LeftReason& reason)
{
    switch (reason.kind) {
    case LeftReason::Case::changed: return caseText("changed");
    case LeftReason::Case::replaced: return caseText("replaced");
    case LeftReason::Case::gone: return caseText("gone");
    case LeftReason::Case::unchecked:
        return caseText("unchecked", std::to_string(reason.errorNumber));
    case LeftReason::Case::notTrashed: return caseText("notTrashed", textualForm(reason.trash));
    }
    return {};
}

std::string textualForm(UndoProblem problem)
{
    switch (problem) {
    case UndoProblem::noRecord: return caseText("noRecord");
    case UndoProblem::alreadyUndone: return caseText("alreadyUndone");
    case UndoProblem::unreadable: return caseText("unreadable");
    case UndoProblem::noTrash: return caseText("noTrash");
    }
    return {};
}

UndoRecords::UndoRecords(std::string folder, std::size_t maxBytes)
    : m_folder(std::move(folder)), m_maxBytes(maxBytes)
{}

std::string UndoRecords::recordPath(const Uuid& id) const
{
    return joinPath(m_folder, id.text() + std::string(recordSuffix));
}

std::string UndoRecords::undonePath(const Uuid& id) const
{
    return joinPath(m_folder, id.text() + std::string(undoneSuffix));
}

std::expected<void, SystemError> UndoRecords::record(const Uuid& id, std::string_view label,
                                                     const CopyReport& report,
                                                     std::time_t now) const
{
    if (report.copied.empty())
        return {};
    if (auto made = makePrivateDirectories(m_folder); !made)
        return made;
    auto writer =
        PlacedRecordWriter::create(recordPath(id), label, report.destination, m_maxBytes);
    if (!writer)
        return std::unexpected(writer.error());
    for (const CopiedItem& item : report.copied)
        if (auto added = writer->addItem(item.copy); !added)
            return added;
    if (auto committed = writer->commit(); !committed)
        return committed;
    (void)sweep(now);
    return {};
}

std::expected<int, SystemError> UndoRecords::sweep(std::time_t now) const
{
    const UniqueFd folder(::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return errno == ENOENT ? std::expected<int, SystemError>(0)
                               : std::unexpected(SystemError::last());
    auto listing = DirListing::open(folder.get());
    if (!listing)
        return std::unexpected(listing.error());
    int removed = 0;
    while (const dirent* entry = listing->next()) {
        const std::string_view name = entry->d_name;
        const bool partial = name.starts_with(".") && name.ends_with(".partial");
        if (!partial && !requestOf(name))
            continue;
        struct stat info {};
        if (::fstatat(folder.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            isExpired(info, now) && ::unlinkat(folder.get(), entry->d_name, 0) == 0)
            ++removed;
    }
    if (const auto error = listing->error())
        return std::unexpected(*error);
    return removed;
}

std::optional<Uuid> UndoRecords::latest(std::time_t now) const
{
    const UniqueFd folder(::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return std::nullopt;
    auto listing = DirListing::open(folder.get());
    if (!listing)
        return std::nullopt;
    std::optional<Uuid> found;
    struct stat newest {};
    while (const dirent* entry = listing->next()) {
        const auto id = requestOf(entry->d_name);
        struct stat info {};
        if (!id || ::fstatat(folder.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || isExpired(info, now))
            continue;
        if (!found || newer(info, newest)) {
            found = id;
            newest = info;
        }
    }
    return found;
}

bool UndoRecords::has(const Uuid& id, std::time_t now) const
{
    struct stat info {};
    return ::stat(recordPath(id).c_str(), &info) == 0 && !isExpired(info, now);
}

UndoReport UndoRecords::undo(const Uuid& id, const Trash& trash, std::time_t now) const
{
    UndoReport report;
    report.requestID = id;
    struct stat info {};
    if (::stat(undonePath(id).c_str(), &info) == 0 && !isExpired(info, now)) {
        report.problem = UndoProblem::alreadyUndone;
        return report;
    }
    if (!has(id, now)) {
        report.problem = UndoProblem::noRecord;
        return report;
    }
    auto reader = PlacedRecordReader::open(recordPath(id));
    if (!reader) {
        report.problem = UndoProblem::unreadable;
        return report;
    }
    report.label = reader->label();
    report.destination = reader->destination();

    while (const auto path = reader->nextItem()) {
        const UniqueFd parent(::open(parentPath(*path).c_str(),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent) {
            const int e = errno;
            report.left.push_back({*path, e == ENOENT ? LeftReason{LeftReason::Case::gone}
                                                      : LeftReason{LeftReason::Case::unchecked,
                                                                   e}});
            continue;
        }
        const std::string name = lastComponent(*path);
        int error = 0;
        const PlacedState state = checkPlaced(parent.get(), name, *reader, &error);
        if (state != PlacedState::unchanged) {
            report.left.push_back({*path, reasonFor(state, error)});
            continue;
        }
        auto trashed = trash.moveToTrash(parent.get(), name, *path, now);
        if (trashed)
            report.takenBack.push_back({*path, std::move(*trashed)});
        else
            report.left.push_back(
                {*path, LeftReason{LeftReason::Case::notTrashed, 0, trashed.error()}});
    }
    if (report.left.empty())
        ::rename(recordPath(id).c_str(), undonePath(id).c_str());
    return report;
}

} // namespace ambrevoli
