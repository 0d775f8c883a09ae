#include "host_receipt.h"

#include <utility>

namespace ambrevoli {

namespace {

constexpr std::pair<FolderOutcome, char> outcomeBytes[] = {
    {FolderOutcome::added, 'a'},        {FolderOutcome::alreadyThere, 'e'},
    {FolderOutcome::missing, 'm'},      {FolderOutcome::notAFolder, 'n'},
    {FolderOutcome::inaccessible, 'i'}, {FolderOutcome::notSaved, 's'},
};

// An outcome missing from the table would go out as a byte no sender reads.
static_assert(std::size(outcomeBytes) == std::size_t(FolderOutcome::notSaved) + 1);

char byteFor(FolderOutcome outcome)
{
    for (const auto& [known, byte] : outcomeBytes)
        if (known == outcome)
            return byte;
    return '?';
}

std::optional<FolderOutcome> outcomeFor(char byte)
{
    for (const auto& [outcome, known] : outcomeBytes)
        if (known == byte)
            return outcome;
    return std::nullopt;
}

} // namespace

std::string HostReceipt::encode() const
{
    std::string out(1, receiptMark);
    for (const FolderOutcome outcome : folders)
        out += byteFor(outcome);
    return out;
}

std::optional<DecodedReceipt> decodeReceipt(std::string_view bytes, std::size_t folderCount)
{
    if (!bytes.empty() && bytes[0] != receiptMark)
        return std::nullopt;
    DecodedReceipt decoded;
    for (std::size_t i = 1; i < bytes.size() && i <= folderCount; ++i) {
        const auto outcome = outcomeFor(bytes[i]);
        if (!outcome)
            return std::nullopt;
        decoded.receipt.folders.push_back(*outcome);
    }
    if (bytes.size() < 1 + folderCount)
        return DecodedReceipt{};
    decoded.consumed = 1 + folderCount;
    return decoded;
}

} // namespace ambrevoli
