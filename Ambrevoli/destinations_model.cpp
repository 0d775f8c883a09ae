#include "destinations_model.h"

#include "date_time.h"
#include "destination.h"
#include "log.h"
#include "paths.h"
#include "wording.h"

#include <climits>

namespace ambrevoli {

namespace {

const Logger& settingsLog() { return logger("settings"); }

// The folder's canonical path. None for anything that is not a folder or cannot be examined.
std::optional<std::string> canonicalFolder(const std::string& path)
{
    auto resolved = canonicalPath(path);
    if (!resolved || !isFolder(*resolved))
        return std::nullopt;
    return std::move(*resolved);
}

} // namespace

DestinationsModel::DestinationsModel(std::string file, BookmarkFunctions bookmarks, QObject* parent)
    : QObject(parent), m_bookmarks(std::move(bookmarks)), m_library(std::move(file))
{
    if (const auto& error = m_library.loadError())
        logError(settingsLog(), "Couldn't load destinations", *error);
    refresh();
}

std::optional<std::string> DestinationsModel::makeBookmarkLogged(const std::string& path) const
{
    auto bookmark = m_bookmarks.make(path);
    if (!bookmark) {
        logError(settingsLog(), "Couldn't make a bookmark", bookmark.error());
        return std::nullopt;
    }
    return std::move(*bookmark);
}

void DestinationsModel::refresh()
{
    if (m_library.loadError()) {
        setMissingIDs({});
        return;
    }

    struct Relocation {
        Uuid id;
        std::string path;
        std::optional<std::string> bookmark;
    };
    std::unordered_set<Uuid> missing;
    std::vector<Relocation> relocations;

    for (const Destination& destination : destinations()) {
        if (const auto& bookmark = destination.bookmark()) {
            const auto resolved = m_bookmarks.resolve(*bookmark);
            if (!resolved) {
                logError(settingsLog(), "A destination's bookmark didn't resolve",
                         resolved.error());
            } else if (isFolder(resolved->path) && !Destination::isInTrash(resolved->path)) {
                std::optional<std::string> fresh;
                if (resolved->stale)
                    fresh = makeBookmarkLogged(resolved->path);
                if (resolved->path != destination.path() || fresh)
                    relocations.push_back({destination.id(), resolved->path, std::move(fresh)});
                continue;
            }
        }
        // The stored path decides; it does not look at the trash.
        if (!isFolder(destination.path()))
            missing.insert(destination.id());
    }
    setMissingIDs(std::move(missing));

    // Saved even with nothing to relocate: the library then finds no change and writes nothing.
    const bool saved = save([&relocations](DestinationStore& store) {
        for (const auto& relocation : relocations)
            store.relocate(relocation.id, relocation.path, relocation.bookmark);
    });
    if (saved)
        settingsLog().log(LogLevel::standard, "Updated the location of moved destinations");
}

bool DestinationsModel::save(const DestinationLibrary::Edit& edit)
{
    emit libraryAboutToChange();
    const auto updated = m_library.update(edit);
    emit libraryChanged();
    if (!updated) {
        logError(settingsLog(), "Couldn't save destinations", updated.error());
        setSaveError(std::string(wording(Phrase::destinationsNotSaved)));
        return false;
    }
    if (*updated)
        setSaveError(std::nullopt);
    return *updated;
}

std::vector<Uuid> DestinationsModel::addFolders(const std::vector<std::string>& paths)
{
    std::vector<std::string> folders;
    for (const auto& path : paths)
        if (auto folder = canonicalFolder(path))
            folders.push_back(std::move(*folder));

    std::vector<Uuid> ids;
    save([&](DestinationStore& store) {
        for (const auto& folder : folders) {
            const auto bookmark = makeBookmarkLogged(folder);
            // No label: the store names it after the folder, as a file manager shows it.
            ids.push_back(store.add(folder, std::nullopt, bookmark));
        }
    });
    refresh();

    // After a failed save the new entries were never written; drop their identifiers.
    std::erase_if(ids, [this](const Uuid& id) { return !destination(id); });
    return ids;
}

std::string DestinationsModel::label(const Uuid& id) const
{
    const auto found = destination(id);
    return found ? found->label() : std::string();
}

void DestinationsModel::rename(const Uuid& id, std::string_view label)
{
    save([&](DestinationStore& store) { store.rename(id, label); });
}

void DestinationsModel::remove(const std::unordered_set<Uuid>& ids)
{
    save([&](DestinationStore& store) { store.remove(ids); });
}

void DestinationsModel::move(const std::vector<Uuid>& ids, std::optional<Uuid> before)
{
    save([&](DestinationStore& store) { store.move(ids, before); });
}

void DestinationsModel::shift(const Uuid& id, std::int64_t offset)
{
    save([&](DestinationStore& store) { store.shift(id, offset); });
}

void DestinationsModel::startFresh()
{
    const double time = now();
    emit libraryAboutToChange();
    const auto setAside = m_library.startFresh(time);
    emit libraryChanged();
    if (!setAside) {
        logError(settingsLog(), "Couldn't set the destinations file aside", setAside.error());
        setSaveError(m_library.loadError() ? std::optional(std::string(setAsideFailedText))
                                           : std::nullopt);
    } else {
        settingsLog().log(LogLevel::standard, "Set the unreadable destinations file aside");
        setSaveError(std::nullopt);
    }
    refresh();
}

void DestinationsModel::setMissingIDs(std::unordered_set<Uuid> ids)
{
    if (ids == m_missingIDs)
        return;
    m_missingIDs = std::move(ids);
    emit missingIDsChanged();
}

void DestinationsModel::setSaveError(std::optional<std::string> text)
{
    if (text == m_saveError)
        return;
    m_saveError = std::move(text);
    emit saveErrorChanged();
}

} // namespace ambrevoli
