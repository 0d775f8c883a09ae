#include "request_validator.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>

namespace ambrevoli {
namespace {

const Uuid requestID = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
const Uuid destinationID = *Uuid::parse("0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9");
const Uuid unknownID = *Uuid::parse("11111111-2222-4333-8444-555555555555");
constexpr double createdAt = 1714555800;

const Destination drop(destinationID, "Drop", "/home/me/Drop", "bookmark");
const DestinationStore store({drop});

RequestValidator everythingExists()
{
    return RequestValidator(600, [](const auto&) { return true; });
}

TEST(RequestValidatorTest, ClockBoundaries)
{
    const std::expected<void, RequestValidationError> accepted;
    struct Case {
        double now;
        std::expected<void, RequestValidationError> result;
    } cases[] = {
        {createdAt, accepted},
        {createdAt + 600, accepted},
        {createdAt + 600.001, std::unexpected(RequestValidationError::expired())},
        {createdAt - 60, accepted},
        {createdAt - 60.001, std::unexpected(RequestValidationError::datedInTheFuture())},
        {std::nan(""), std::unexpected(RequestValidationError::expired())},
        {INFINITY, std::unexpected(RequestValidationError::expired())},
        {-INFINITY, std::unexpected(RequestValidationError::datedInTheFuture())},
    };
    const SendRequest request(requestID, createdAt, destinationID, {"/a"});
    for (const auto& c : cases) {
        const auto result = everythingExists().validate(request, store, c.now);
        EXPECT_EQ(result.has_value(), c.result.has_value()) << std::fixed << c.now - createdAt;
        if (!result && !c.result) {
            EXPECT_EQ(result.error(), c.result.error()) << std::fixed << c.now - createdAt;
        }
    }

    // The future limit is its own 60 seconds, not maxAge; a NaN limit expires everything.
    const RequestValidator generous(3600, [](const auto&) { return true; });
    EXPECT_EQ(generous.validate(request, store, createdAt - 61).error(),
              RequestValidationError::datedInTheFuture());
    const RequestValidator noLimit(std::nan(""), [](const auto&) { return true; });
    EXPECT_EQ(noLimit.validate(request, store, createdAt).error(),
              RequestValidationError::expired());
}

TEST(RequestValidatorTest, TheFirstFailingCheckDecides)
{
    struct Case {
        double now;
        Uuid destination;
        std::vector<std::string> sources;
        RequestValidationError error;
    } cases[] = {
        {createdAt + 601, unknownID, {}, RequestValidationError::expired()},
        {createdAt - 61, unknownID, {}, RequestValidationError::datedInTheFuture()},
        {createdAt, unknownID, {}, RequestValidationError::unknownDestination(unknownID)},
        {createdAt, destinationID, {}, RequestValidationError::noSources()},
    };
    for (const auto& c : cases) {
        const SendRequest request(requestID, createdAt, c.destination, c.sources);
        EXPECT_EQ(everythingExists().validate(request, store, c.now).error(), c.error)
            << textualForm(c.error);
    }
}

TEST(RequestValidatorTest, AVolumeOrAFolderToChooseNeedsNoDestination)
{
    const VolumeTarget stick{"/media/me/STICK", "uuid:1234-ABCD"};
    struct Case {
        const char* name;
        SendRequest request;
        std::expected<ValidatedRequest, RequestValidationError> result;
    } cases[] = {
        {"volume", SendRequest::toVolume(requestID, createdAt, stick, {"/a", "b"}),
         ValidatedRequest{requestID,
                          Destination(Uuid(), "STICK", "/media/me/STICK"),
                          {"/a"},
                          {"b"},
                          stick,
                          false}},
        {"folder to choose", SendRequest::choosingFolder(requestID, createdAt, {"/a"}),
         ValidatedRequest{requestID, Destination(Uuid(), "", ""), {"/a"}, {}, std::nullopt, true}},
        // The other checks still apply.
        {"volume, no sources", SendRequest::toVolume(requestID, createdAt, stick, {}),
         std::unexpected(RequestValidationError::noSources())},
        {"folder to choose, expired",
         SendRequest::choosingFolder(requestID, createdAt - 601, {"/a"}),
         std::unexpected(RequestValidationError::expired())},
    };
    for (const Case& c : cases)
        EXPECT_EQ(everythingExists().validate(c.request, DestinationStore(), createdAt), c.result)
            << c.name;
}

TEST(RequestValidatorTest, SortsSourcesAskingOnceAboutEachAbsolutePath)
{
    std::vector<std::string> asked;
    const RequestValidator validator(600, [&](const std::string& path) {
        asked.push_back(path);
        return path == "/a" || path == "/d/";
    });
    const SendRequest request(requestID, createdAt, destinationID, {"/a", "b", "/c", "/a", "/d/"});
    const auto result = validator.validate(request, store, createdAt);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (ValidatedRequest{requestID, drop, {"/a", "/a", "/d/"}, {"b", "/c"}}));
    EXPECT_EQ(asked, (std::vector<std::string>{"/a", "/c", "/a", "/d/"}));

    // All missing is still a valid request.
    const RequestValidator nothingExists(600, [](const auto&) { return false; });
    EXPECT_EQ(nothingExists.validate(request, store, createdAt),
              (ValidatedRequest{requestID, drop, {}, request.sources()}));
}

TEST(RequestValidatorTest, APathWithANulByteIsMissingWithoutBeingLookedUp)
{
    // The system would see these only up to the NUL, "/a" and "/", which exist.
    const std::string cut[] = {std::string("/a\0/../etc/x", 12), std::string("/\0", 2)};
    std::vector<std::string> asked;
    const RequestValidator validator(600, [&](const std::string& path) {
        asked.push_back(path);
        return true;
    });
    const SendRequest request(requestID, createdAt, destinationID, {cut[0], "/a", cut[1]});
    EXPECT_EQ(validator.validate(request, store, createdAt),
              (ValidatedRequest{requestID, drop, {"/a"}, {cut[0], cut[1]}}));
    EXPECT_EQ(asked, std::vector<std::string>{"/a"});

    testing::ScopedTempDir temp;
    std::ofstream(temp / "file") << "x";
    EXPECT_FALSE(RequestValidator::entryExists(temp / "file" + std::string("\0x", 2)));
}

TEST(RequestValidatorTest, EntryExistsDoesNotFollowAFinalLink)
{
    testing::ScopedTempDir temp;
    std::ofstream(temp / "file") << "x";
    ASSERT_EQ(::symlink((temp / "gone").c_str(), (temp / "dangling").c_str()), 0);
    EXPECT_TRUE(RequestValidator::entryExists(temp / "file"));
    EXPECT_TRUE(RequestValidator::entryExists(temp / "dangling"));
    EXPECT_TRUE(RequestValidator::entryExists(temp.path()));
    EXPECT_FALSE(RequestValidator::entryExists(temp / "gone"));
}

TEST(RequestValidatorTest, TextualForms)
{
    EXPECT_EQ(textualForm(RequestValidationError::unknownDestination(
                  *Uuid::parse("0a1b2c3d-4e5f-4061-8273-8495a6b7c8d9"))),
              "unknownDestination(0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9)");
    EXPECT_EQ(textualForm(RequestValidationError::expired()), "expired");
    EXPECT_EQ(textualForm(RequestValidationError::datedInTheFuture()), "datedInTheFuture");
    EXPECT_EQ(textualForm(RequestValidationError::noSources()), "noSources");
}

} // namespace
} // namespace ambrevoli
