#include "host_receipt.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

TEST(HostReceiptTest, DecodesWhatIsEncoded)
{
    const HostReceipt every{{FolderOutcome::added, FolderOutcome::alreadyThere,
                             FolderOutcome::missing, FolderOutcome::notAFolder,
                             FolderOutcome::inaccessible, FolderOutcome::notSaved}};
    for (const HostReceipt& receipt : {HostReceipt{}, every}) {
        // What follows the receipt is the outcome's, not the receipt's.
        const std::string bytes = receipt.encode() + "lCopied";
        const auto decoded = decodeReceipt(bytes, receipt.folders.size());
        ASSERT_TRUE(decoded) << bytes;
        EXPECT_EQ(decoded->receipt, receipt);
        EXPECT_EQ(decoded->consumed, receipt.encode().size());
    }
}

TEST(HostReceiptTest, WaitsForTheWholeReceiptAndRefusesAnythingElse)
{
    const struct {
        std::string bytes;
        std::size_t folders;
        std::optional<std::size_t> consumed; // 0: not whole yet; none: refused
    } cases[] = {
        {"", 0, 0},
        {"k", 0, 1},
        {"ka", 2, 0},   // a folder's outcome still to come
        {"kam", 2, 3},  //
        {"kamx", 2, 3}, // an outcome record behind it
        {"n", 0, std::nullopt},
        {"no", 1, std::nullopt},
        {"K", 0, std::nullopt},
        {"k?", 1, std::nullopt},
        {"kz", 2, std::nullopt}, // refused before the rest arrives
        {"kaA", 2, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto decoded = decodeReceipt(c.bytes, c.folders);
        ASSERT_EQ(decoded.has_value(), c.consumed.has_value()) << c.bytes << " " << c.folders;
        if (decoded) {
            EXPECT_EQ(decoded->consumed, *c.consumed) << c.bytes << " " << c.folders;
        }
    }
}

} // namespace
} // namespace ambrevoli
