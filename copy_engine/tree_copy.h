#pragma once

#include "error.h"

#include <expected>
#include <string>

// The engine's own recursive copier and remover: exclusive, link-preserving, never following a
// link, working relative to folder descriptors.

namespace ambrevoli {

struct TreeCopyFailure {
    int error = EIO;      // the errno that stopped the copy
    bool created = false; // whether an item was created at the target (and must be removed)

    friend bool operator==(const TreeCopyFailure&, const TreeCopyFailure&) = default;
};

// Copies the item at `source` (a link at its last component is copied as a link) to the new
// absolute path `target`, which must not exist; the folder holding `target` may be reached
// through a link.
//
// What is carried: a file's data (a clone when `clone` is true and the volume can make one,
// else copied, holes staying holes); a folder and everything in it; links as links; FIFOs,
// sockets and device nodes where the system permits; extended attributes, POSIX ACLs included
// (one the volume or the user cannot store is skipped, except an ACL, which fails the copy);
// nanosecond access and modification times; the owner when permitted (as root, or for the
// user's own items, best effort); the mode (skipped only where the volume refuses every mode
// change, as FAT does); and the immutable, append-only and no-dump flags (best effort).
//
// Every new file is created 0600 and every new folder 0700, so no one else can read a half-made
// copy. Per item the order is data, times, owner, attributes and ACLs, mode, flags (a lock would
// block every later write); a folder gets its own after its contents.
//
// On failure yields the errno and whether anything was created at `target`; the partial item is
// left for the caller to remove. The folder holding `target` only needs to be writable and
// searchable, not readable. Thread-safe: calls share no state.
std::expected<void, TreeCopyFailure> copyTree(const std::string& source, const std::string& target,
                                              bool clone);

// Removes the item at the absolute `path` and everything beneath it without following any link.
// An item that vanished meanwhile counts as removed. Yields the first error that stopped a
// removal; everything else that could be removed is. The folder holding `path` need not be
// readable.
std::expected<void, SystemError> removeTree(const std::string& path);

} // namespace ambrevoli
