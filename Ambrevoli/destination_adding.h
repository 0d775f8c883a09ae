#pragma once

#include <QStringList>

#include <string_view>
#include <vector>

namespace ambrevoli {

class DestinationsModel;

// What became of one folder that `ambrevoli --add-destination` asked for.
enum class FolderOutcome {
    added,        // a destination now, new in the list
    alreadyThere, // the list already had it (under this path or another way to it)
    missing,      // nothing by that path
    notAFolder,   // something that is not a folder
    inaccessible, // cannot be examined (a search permission missing, a loop of links)
    notSaved,     // a folder, but the destinations could not be written (or read) to add it
};

// Adds each of `folders` (absolute paths, as the user named them) to `model` in turn, and yields
// one outcome per folder, in order. Main thread only, like the model.
std::vector<FolderOutcome> addDestinations(DestinationsModel& model, const QStringList& folders);

// Whether the folder is a destination after the outcome: added or already there.
bool isDestination(FolderOutcome outcome);

// The words that go before the folder when the outcome is told to the user: "Added",
// "Already a destination", "Not added, no such folder", …
std::string_view wordsFor(FolderOutcome outcome);

} // namespace ambrevoli
