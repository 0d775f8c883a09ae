#include "destination_adding.h"

#include "destinations_model.h"
#include "paths.h"
#include "translation.h"

#include <QFile>

#include <sys/stat.h>

#include <cerrno>
#include <unordered_set>

namespace ambrevoli {

namespace {

// Why `path` can't be a destination, or none when it is a folder.
std::optional<FolderOutcome> refusal(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FolderOutcome::missing
                                                   : FolderOutcome::inaccessible;
    if (!S_ISDIR(info.st_mode))
        return FolderOutcome::notAFolder;
    return std::nullopt;
}

} // namespace

std::vector<FolderOutcome> addDestinations(DestinationsModel& model, const QStringList& folders)
{
    std::vector<FolderOutcome> outcomes;
    for (const QString& folder : folders) {
        const std::string path = QFile::encodeName(folder).toStdString();
        // A relative path would be looked up wherever the host happens to run.
        if (!path.starts_with('/') || hasNulByte(path)) {
            outcomes.push_back(FolderOutcome::missing);
            continue;
        }
        if (const auto refused = refusal(path)) {
            outcomes.push_back(*refused);
            continue;
        }
        // One folder at a time, so that the identifier the model yields is this folder's.
        std::unordered_set<Uuid> listed;
        for (const Destination& destination : model.destinations())
            listed.insert(destination.id());
        const std::vector<Uuid> ids = model.addFolders({path});
        if (ids.empty())
            outcomes.push_back(FolderOutcome::notSaved);
        else
            outcomes.push_back(listed.contains(ids[0]) ? FolderOutcome::alreadyThere
                                                       : FolderOutcome::added);
    }
    return outcomes;
}

bool isDestination(FolderOutcome outcome)
{
    return outcome == FolderOutcome::added || outcome == FolderOutcome::alreadyThere;
}

std::string_view wordsFor(FolderOutcome outcome)
{
    switch (outcome) {
    // TRANSLATORS: what became of a folder given to ambrevoli --add-destination; the folder's
    // path follows after a colon.
    case FolderOutcome::added: return N_("Added");
    case FolderOutcome::alreadyThere: return N_("Already a destination");
    case FolderOutcome::missing: return N_("Not added, no such folder");
    case FolderOutcome::notAFolder: return N_("Not added, not a folder");
    case FolderOutcome::inaccessible: return N_("Not added, can't be examined");
    case FolderOutcome::notSaved: return N_("Not added, the destinations can't be saved");
    }
    return N_("Not added");
}

} // namespace ambrevoli
