#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The running host's answer to a message, sent once it has handled it: what became of each
// folder the message asked it to add. Its first byte also tells the sender that the host took
// the message at all.

namespace ambrevoli {

// What became of one folder that `ambrevoli --add-destination` asked for.
enum class FolderOutcome {
    added,        // a destination now, new in the list
    alreadyThere, // the list already had it (under this path or another way to it)
    missing,      // nothing by that path
    notAFolder,   // something that is not a folder
    inaccessible, // cannot be examined (a search permission missing, a loop of links)
    notSaved,     // a folder, but the destinations could not be written (or read) to add it
};

// The first byte of every answer.
inline constexpr char receiptMark = 'k';

struct HostReceipt {
    std::vector<FolderOutcome> folders; // one per folder of the message, in its order

    friend bool operator==(const HostReceipt&, const HostReceipt&) = default;

    // receiptMark, then one byte per folder: 'a' added, 'e' already there, 'm' missing,
    // 'n' not a folder, 'i' inaccessible, 's' not saved.
    std::string encode() const;
};

// Reads the receipt for a message of `folderCount` folders from the start of `bytes`. Yields the
// receipt and the number of bytes it took (what follows is the outcome of a waiting sender's
// requests); `consumed` 0 while `bytes` holds only part of it. None when the first byte is not
// receiptMark or a folder's byte is none of the above.
struct DecodedReceipt {
    HostReceipt receipt;
    std::size_t consumed = 0;
};
std::optional<DecodedReceipt> decodeReceipt(std::string_view bytes, std::size_t folderCount);

} // namespace ambrevoli
