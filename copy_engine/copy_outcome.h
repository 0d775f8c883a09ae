#pragma once

#include "error.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What one Send To request did: plain values, safe to hand between threads.

namespace ambrevoli {

// An item's identity on disk. The device is the full dev_t: on Linux it does not always fit in
// 32 bits.
struct FileID {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    friend bool operator==(const FileID&, const FileID&) = default;
};

// Why one item was not copied.
struct CopyFailure {
    enum class Case {
        notPermitted,    // EPERM; `protectedFolder` tells whether the source is protected
        other,           // any other failure; `errorNumber` is the errno
        missing,         // not absolute, or the source (or the way to it) vanished
        destinationGone, // the destination vanished during the request
        intoItself,      // a folder sent into itself or one of its own subfolders
        notDownloaded,   // the content is not on this machine
        noPermission,    // EACCES
        outOfSpace,      // ENOSPC or EDQUOT
        nameTooLong,     // ENAMETOOLONG
        cancelled,       // the user stopped the copy before this item was placed
        nameRefused,     // the destination's volume can't store a name in the item
        tooLarge,        // a file is larger than the destination's volume stores
        kindRefused,     // a link or special file the destination's volume can't hold
        unreachable,     // the destination stopped answering: its share's connection dropped
    };

    Case kind;
    bool protectedFolder = false; // notPermitted only
    std::int32_t errorNumber = 0; // other only

    static CopyFailure notPermitted(bool protectedFolder)
    {
        return {Case::notPermitted, protectedFolder, 0};
    }
    static CopyFailure other(std::int32_t errorNumber) { return {Case::other, false, errorNumber}; }
    static CopyFailure missing() { return {Case::missing}; }
    static CopyFailure destinationGone() { return {Case::destinationGone}; }
    static CopyFailure intoItself() { return {Case::intoItself}; }
    static CopyFailure notDownloaded() { return {Case::notDownloaded}; }
    static CopyFailure noPermission() { return {Case::noPermission}; }
    static CopyFailure outOfSpace() { return {Case::outOfSpace}; }
    static CopyFailure nameTooLong() { return {Case::nameTooLong}; }
    static CopyFailure cancelled() { return {Case::cancelled}; }
    static CopyFailure nameRefused() { return {Case::nameRefused}; }
    static CopyFailure tooLarge() { return {Case::tooLarge}; }
    static CopyFailure kindRefused() { return {Case::kindRefused}; }
    static CopyFailure unreachable() { return {Case::unreachable}; }

    friend bool operator==(const CopyFailure&, const CopyFailure&) = default;
};

// "notPermitted(protectedFolder: false)", "other(28)", "missing", …
std::string textualForm(const CopyFailure& failure);
std::string_view errorDomain(const CopyFailure& failure);
long errorCode(const CopyFailure& failure);

// Why the whole destination is unusable.
struct DestinationProblem {
    enum class Case {
        notPermitted, // EPERM; `protectedFolder` tells whether it is a protected location
        other,        // any other failure; `errorNumber` is the errno
        missing,      // does not exist or is not a folder
        noPermission, // EACCES
        readOnly,     // the volume is read-only
        unreachable,  // its share doesn't answer: the connection to the server is gone
    };

    Case kind;
    bool protectedFolder = false;
    std::int32_t errorNumber = 0;

    static DestinationProblem notPermitted(bool protectedFolder)
    {
        return {Case::notPermitted, protectedFolder, 0};
    }
    static DestinationProblem other(std::int32_t errorNumber)
    {
        return {Case::other, false, errorNumber};
    }
    static DestinationProblem missing() { return {Case::missing}; }
    static DestinationProblem noPermission() { return {Case::noPermission}; }
    static DestinationProblem readOnly() { return {Case::readOnly}; }
    static DestinationProblem unreachable() { return {Case::unreachable}; }

    friend bool operator==(const DestinationProblem&, const DestinationProblem&) = default;
};

std::string textualForm(const DestinationProblem& problem);
std::string_view errorDomain(const DestinationProblem& problem);
long errorCode(const DestinationProblem& problem);

struct CopiedItem {
    std::string source;       // exactly as the caller passed it
    std::string copy;         // the placed copy's path
    bool isDirectory = false; // the copy is a folder

    friend bool operator==(const CopiedItem&, const CopiedItem&) = default;
};

struct FailedItem {
    std::string source; // exactly as the caller passed it
    CopyFailure reason;

    friend bool operator==(const FailedItem&, const FailedItem&) = default;
};

// The outcome of one request. With a problem, `copied` and `failed` are empty; without one,
// every source has exactly one entry: copied.size() + failed.size() == itemCount. `cancelled`
// tells that the user asked to stop the copy before it ended, whether or not anything was left
// to stop: the items it stopped are failed as `cancelled`.
struct CopyReport {
    std::string destination; // exactly as the caller passed it
    std::optional<DestinationProblem> problem;
    std::int64_t itemCount = 0;
    std::vector<CopiedItem> copied;
    std::vector<FailedItem> failed;
    bool cancelled = false;

    friend bool operator==(const CopyReport&, const CopyReport&) = default;
};

} // namespace ambrevoli

template <> struct std::hash<ambrevoli::FileID> {
    std::size_t operator()(const ambrevoli::FileID& id) const noexcept
    {
        return std::hash<std::uint64_t>()(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
    }
};
