#pragma once

#include "bookmark.h"
#include "destination_library.h"
#include "uuid.h"

#include <QObject>

#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace ambrevoli {

// How the model makes and resolves bookmarks. The real ones by default; tests replace them to
// produce outcomes the file system cannot be made to give on demand.
struct BookmarkFunctions {
    std::function<std::expected<std::string, SystemError>(const std::string& path)> make =
        [](const std::string& path) { return makeBookmark(path); };
    std::function<std::expected<ResolvedBookmark, BookmarkError>(std::string_view bookmark)>
        resolve = [](std::string_view bookmark) { return resolveBookmark(bookmark); };
};

// The host's one live copy of the destination list, over the destinations file. Follows folders
// that moved (through their bookmarks), marks the ones that can no longer be found, saves every
// edit at once and words a failure for the user. The only writer of the destinations file.
//
// Main thread only. Signals fire on the main thread: missingIDsChanged and saveErrorChanged only
// when the value really changed; libraryAboutToChange/libraryChanged around every save and start
// fresh, whether the store changed or not.
class DestinationsModel : public QObject {
    Q_OBJECT

public:
    // Loads `file` (logging "Couldn't load destinations" when it cannot be read) and refreshes.
    explicit DestinationsModel(std::string file, BookmarkFunctions bookmarks = {},
                               QObject* parent = nullptr);

    const DestinationLibrary& library() const { return m_library; }
    // The destinations in store order; empty while the file is unreadable.
    const std::vector<Destination>& destinations() const
    {
        return m_library.store().destinations();
    }
    // The destination with identifier `id`, if there is one.
    std::optional<Destination> destination(const Uuid& id) const
    {
        return m_library.store().destination(id);
    }
    // Destinations whose folder cannot be found now; empty while the file is unreadable.
    const std::unordered_set<Uuid>& missingIDs() const { return m_missingIDs; }
    // The last failed edit or start fresh, in words for the user: wording(destinationsNotSaved)
    // or setAsideFailedText.
    const std::optional<std::string>& saveError() const { return m_saveError; }

    // Re-resolves bookmarks, takes up moved folders (saving when anything changed) and
    // recomputes missingIDs.
    void refresh();

    // The one way edits reach the file. Yields true when the store changed and was written.
    // A failed write keeps the old store and sets saveError.
    bool save(const DestinationLibrary::Edit& edit);

    // Adds the folders at `paths` (links resolved, files left out), in order, and yields the
    // identifiers of the destinations for them that are in the store now, existing ones included.
    std::vector<Uuid> addFolders(const std::vector<std::string>& paths);

    // The destination's label, or the empty text when there is no such destination.
    std::string label(const Uuid& id) const;

    void rename(const Uuid& id, std::string_view label);
    void remove(const std::unordered_set<Uuid>& ids);
    void move(const std::vector<Uuid>& ids, std::optional<Uuid> before);
    void shift(const Uuid& id, std::int64_t offset);

    // Sets an unreadable destinations file aside and starts with an empty list, then refreshes.
    void startFresh();

    static constexpr std::string_view setAsideFailedText =
        "Ambrevoli couldn't rename the old file, so it's still in place.";

signals:
    void libraryAboutToChange();
    void libraryChanged();
    void missingIDsChanged();
    void saveErrorChanged();

private:
    void setMissingIDs(std::unordered_set<Uuid> ids);
    void setSaveError(std::optional<std::string> text);
    std::optional<std::string> makeBookmarkLogged(const std::string& path) const;

    BookmarkFunctions m_bookmarks;
    DestinationLibrary m_library;
    std::unordered_set<Uuid> m_missingIDs;
    std::optional<std::string> m_saveError;
};

} // namespace ambrevoli
