#pragma once

#include "host_receipt.h"

#include <QStringList>

#include <string_view>
#include <vector>

namespace ambrevoli {

class DestinationsModel;

// Adds each of `folders` (absolute paths, as the user named them) to `model` in turn, and yields
// one outcome per folder, in order. Main thread only, like the model.
std::vector<FolderOutcome> addDestinations(DestinationsModel& model, const QStringList& folders);

// Whether the folder is a destination after the outcome: added or already there.
bool isDestination(FolderOutcome outcome);

// The words that go before the folder when the outcome is told to the user: "Added",
// "Already a destination", "Not added, no such folder", …
std::string_view wordsFor(FolderOutcome outcome);

} // namespace ambrevoli
