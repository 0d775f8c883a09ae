#include "wording.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

// The summary's tests pin the rows it uses; this pins the settings' row in both columns.
TEST(WordingTest, SettingsSentenceNamesEachPlatformsFileManager)
{
    EXPECT_EQ(wording(Phrase::destinationsNotSaved, Platform::macOS),
              "Ambrevoli couldn't save that change, so Finder still shows the saved list.");
    EXPECT_EQ(wording(Phrase::destinationsNotSaved, Platform::linuxDesktop),
              "Ambrevoli couldn't save that change, so the file manager still shows the saved "
              "list.");
    EXPECT_EQ(wording(Phrase::destinationsNotSaved),
              wording(Phrase::destinationsNotSaved, Platform::linuxDesktop));
}

} // namespace
} // namespace ambrevoli
