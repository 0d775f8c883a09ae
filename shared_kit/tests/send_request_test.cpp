#include "send_request.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ambrevoli {
namespace {

const Uuid requestID = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
const Uuid destinationID = *Uuid::parse("0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9");

TEST(SendRequestTest, WritesTheCompactFormInFieldOrder)
{
    const SendRequest request(requestID, 1714555800.75, destinationID,
                              {"/Users/me/a b.txt", "/Users/me/\"q\"\\", "/tmp/ü"});
    EXPECT_EQ(request.version(), 1);
    EXPECT_EQ(*request.jsonData(),
              R"({"version":1,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F",)"
              R"("createdAt":"2024-05-01T09:30:00Z",)"
              R"("destinationID":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9",)"
              R"("sources":["\/Users\/me\/a b.txt","\/Users\/me\/\"q\"\\","\/tmp\/ü"]})");
}

TEST(SendRequestTest, RoundTripLosesOnlyTheFractionOfASecond)
{
    const SendRequest request(requestID, 1714555800.75, destinationID,
                              {"/a", "/a", "/b\nc", "/d\x01"});
    const auto decoded = SendRequest::decode(*request.jsonData());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, SendRequest(requestID, 1714555800, destinationID, request.sources()));

    const SendRequest empty(requestID, 0, destinationID, {});
    EXPECT_EQ(SendRequest::decode(*empty.jsonData()), empty);
}

TEST(SendRequestTest, AVolumeOrAFolderToChooseTravelsAfterTheSources)
{
    const VolumeTarget stick{"/media/me/STICK \"1\"", "uuid:1234-ABCD"};
    const SendRequest toVolume = SendRequest::toVolume(requestID, 1714555800, stick, {"/a"});
    EXPECT_EQ(toVolume.destinationID(), Uuid());
    EXPECT_EQ(*toVolume.jsonData(),
              R"({"version":1,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F",)"
              R"("createdAt":"2024-05-01T09:30:00Z",)"
              R"("destinationID":"00000000-0000-0000-0000-000000000000","sources":["\/a"],)"
              R"("volume":{"root":"\/media\/me\/STICK \"1\"","identity":"uuid:1234-ABCD"}})");
    const SendRequest choosing = SendRequest::choosingFolder(requestID, 1714555800, {"/a"});
    EXPECT_EQ(*choosing.jsonData(),
              R"({"version":1,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F",)"
              R"("createdAt":"2024-05-01T09:30:00Z",)"
              R"("destinationID":"00000000-0000-0000-0000-000000000000","sources":["\/a"],)"
              R"("chooseFolder":true})");

    for (const SendRequest& request : {toVolume, choosing}) {
        const auto decoded = SendRequest::decode(*request.jsonData());
        ASSERT_TRUE(decoded) << *request.jsonData();
        EXPECT_EQ(*decoded, request);
    }
    EXPECT_EQ(SendRequest::decode(*toVolume.jsonData())->volume(), stick);
    EXPECT_TRUE(SendRequest::decode(*choosing.jsonData())->choosesFolder());

    // A plain request has neither; "chooseFolder": false is the same as none.
    const SendRequest plain(requestID, 1714555800, destinationID, {"/a"});
    std::string unchosen = *plain.jsonData();
    unchosen.insert(unchosen.size() - 1, R"(,"chooseFolder":false)");
    EXPECT_EQ(SendRequest::decode(unchosen), plain);
    EXPECT_FALSE(plain.volume());
    EXPECT_FALSE(plain.choosesFolder());

    // The host could not find these roots again, or tell one volume from another.
    for (const VolumeTarget& bad :
         {VolumeTarget{"media/me/STICK", "uuid:1"}, VolumeTarget{"/media/me/\xff", "uuid:1"},
          VolumeTarget{std::string("/media\0/x", 9), "uuid:1"},
          VolumeTarget{"/media/me/STICK", ""}})
        EXPECT_FALSE(SendRequest::toVolume(requestID, 0, bad, {"/a"}).jsonData()) << bad.root;
}

TEST(SendRequestTest, WritingRefusesWhatJsonCannotCarry)
{
    EXPECT_FALSE(SendRequest(requestID, 0, destinationID, {"/tmp/\xff"}).jsonData());
    EXPECT_FALSE(SendRequest(requestID, std::nan(""), destinationID, {"/a"}).jsonData());
    // A system call would read the path only up to the NUL.
    EXPECT_FALSE(SendRequest(requestID, 0, destinationID, {std::string("/a\0/b", 5)}).jsonData());
}

TEST(SendRequestTest, ReadsWhatOtherWritersMayWrite)
{
    // Lower-case identifiers, plain slashes, any key order, extra keys, an offset date.
    const auto decoded = SendRequest::decode(R"({
        "sources": ["/a/b"], "extra": {"x": [1, 2]},
        "destinationID": "0a1b2c3d-4e5f-4061-8273-8495a6b7c8d9",
        "createdAt": "2024-05-01T11:30:00+02:00",
        "id": "3f2c8a4e-1b7d-4c9a-9e21-0a5b6c7d8e9f", "version": 1 })");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, SendRequest(requestID, 1714555800, destinationID, {"/a/b"}));
}

TEST(SendRequestTest, VersionIsCheckedBeforeAnythingElse)
{
    struct Case {
        const char* json;
        std::int64_t version;
    } cases[] = {
        {R"({"version":2})", 2},
        {R"({"version":0,"id":"not an id"})", 0},
        {R"({"version":-7,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F"})", -7},
    };
    for (const auto& c : cases) {
        const auto decoded = SendRequest::decode(c.json);
        ASSERT_FALSE(decoded) << c.json;
        EXPECT_EQ(decoded.error(),
                  SendRequest::DecodeFailure(SendRequestError::unsupportedVersion(c.version)))
            << c.json;
    }
}

TEST(SendRequestTest, MalformedContentIsADataError)
{
    const std::string valid =
        R"("id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","createdAt":"2024-05-01T09:30:00Z",)"
        R"("destinationID":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9")";
    const std::string cases[] = {
        "",
        "not json",
        "[1]",
        R"({"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F"})", // no version: data error
        R"({"version":"1"})",
        R"({"version":1.5})",
        R"({"version":18446744073709551615})",
        R"({"version":1,)" + valid + "}", // no sources
        R"({"version":1,)" + valid + R"(,"sources":"/a"})",
        R"({"version":1,)" + valid + R"(,"sources":["/a",3]})",
        R"({"version":1,"id":"nope","createdAt":"2024-05-01T09:30:00Z","sources":[]})",
        R"({"version":1,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","createdAt":"yesterday",)"
        R"("destinationID":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9","sources":[]})",
        R"({"version":1,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F","createdAt":1714555800,)"
        R"("destinationID":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9","sources":[]})",
        "{\"version\":1," + valid + ",\"sources\":[\"/\xff\"]}", // not UTF-8
        // A path that a system call would cut at the NUL: here it would name /tmp/x/secret.
        R"({"version":1,)" + valid + R"(,"sources":["/tmp/x/secret\u0000/../../etc/x"]})",
        R"({"version":1,)" + valid + R"(,"sources":["/a","\u0000"]})",
    };
    for (const auto& json : cases) {
        const auto decoded = SendRequest::decode(json);
        ASSERT_FALSE(decoded) << json;
        EXPECT_TRUE(std::holds_alternative<DecodeError>(decoded.error())) << json;
    }
}

TEST(SendRequestTest, AVolumeOrAFolderToChooseMustBeTheOnlyPlaceNamed)
{
    const std::string head = R"({"version":1,"id":"3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F",)"
                             R"("createdAt":"2024-05-01T09:30:00Z","sources":["/a"],)";
    const std::string nil = R"("destinationID":"00000000-0000-0000-0000-000000000000")";
    const std::string named = R"("destinationID":"0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9")";
    const std::string volume = R"("volume":{"root":"/media/me/S","identity":"uuid:1"})";
    const std::string cases[] = {
        head + named + "," + volume + "}",
        head + named + R"(,"chooseFolder":true})",
        head + nil + "," + volume + R"(,"chooseFolder":true})",
        head + nil + R"(,"chooseFolder":"yes"})",
        head + nil + R"(,"chooseFolder":1})",
        head + nil + R"(,"volume":"/media/me/S"})",
        head + nil + R"(,"volume":null})",
        head + nil + R"(,"volume":{"identity":"uuid:1"}})",
        head + nil + R"(,"volume":{"root":"media/me/S","identity":"uuid:1"}})",
        head + nil + R"(,"volume":{"root":"/media/S\u0000/x","identity":"uuid:1"}})",
        head + nil + R"(,"volume":{"root":"/media/me/S"}})",
        head + nil + R"(,"volume":{"root":"/media/me/S","identity":""}})",
        head + nil + R"(,"volume":{"root":"/media/me/S","identity":7}})",
    };
    for (const auto& json : cases) {
        const auto decoded = SendRequest::decode(json);
        ASSERT_FALSE(decoded) << json;
        EXPECT_TRUE(std::holds_alternative<DecodeError>(decoded.error())) << json;
    }
}

} // namespace
} // namespace ambrevoli
