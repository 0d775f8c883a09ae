#pragma once

#include "app_group.h"
#include "destination_store.h"
#include "send_request.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// What a sender's tests set up and read back through the running deliverable's app group: the
// destinations a click chooses from, and the requests the click wrote.

namespace ambrevoli::testing {

// Writes `destinations` as the destinations file.
inline void saveDestinations(std::vector<Destination> destinations)
{
    const auto file = AppGroup::fromMainBundle()->destinationsFile();
    ASSERT_TRUE(file);
    ASSERT_TRUE(DestinationStore(std::move(destinations)).save(*file));
}

// The requests in the inbox, in no particular order; a file that is no request fails the test.
inline std::vector<SendRequest> inbox()
{
    std::vector<SendRequest> requests;
    const std::string folder = AppGroup::fromMainBundle()->requestInbox()->folder();
    if (!std::filesystem::is_directory(folder))
        return requests;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ifstream in(entry.path());
        auto request = SendRequest::decode(std::string(std::istreambuf_iterator<char>(in), {}));
        EXPECT_TRUE(request) << entry.path();
        if (request)
            requests.push_back(*request);
    }
    return requests;
}

} // namespace ambrevoli::testing
