#include "sender.h"

#include "bundle_info.h"
#include "date_time.h"
#include "fake_host.h"
#include "fake_listener.h"
#include "scoped_env.h"
#include "send_request.h"
#include "sent_requests.h"
#include "temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeHost;
using testing::FakeListener;
using testing::ForeignListener;
using testing::inbox;
using testing::saveDestinations;
using testing::ScopedEnv;
using testing::ScopedTempDir;
using Start = std::vector<std::string>;

class SenderTest : public ::testing::Test {
protected:
    ScopedTempDir temp;
    ScopedEnv dataHome{"XDG_DATA_HOME", temp / "data"};
    // Whether the settings are asked for with a display depends on these.
    ScopedEnv noX11{"DISPLAY", std::nullopt};
    ScopedEnv noWayland{"WAYLAND_DISPLAY", std::nullopt};
    // Whatever started this test may have left its own token behind.
    ScopedEnv noToken{"XDG_ACTIVATION_TOKEN", std::nullopt};
    ScopedEnv noStartupID{"DESKTOP_STARTUP_ID", std::nullopt};
    FakeHost host;
};

TEST_F(SenderTest, WritesTheRequestThenWakesTheHostInTheBackground)
{
    const Uuid alpha = Uuid::random(), beta = Uuid::random();
    saveDestinations(
        {Destination(alpha, "Alpha", temp / "alpha"), Destination(beta, "Beta", temp / "beta")});
    // As selected: not sorted, a repeat kept, nothing percent-encoded or checked.
    const std::vector<std::string> sources = {"/home/me/z.txt", "/home/me/b c.txt",
                                              "/home/me/\xC3\xBC", "/home/me/z.txt",
                                              "/nowhere/at/all"};

    const double before = std::floor(now());
    const auto sent = sendSelection(beta, sources);
    const double after = now();

    ASSERT_TRUE(sent) << textualForm(sent.error());
    const std::vector<SendRequest> requests = inbox();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].id(), *sent);
    EXPECT_EQ(requests[0].version(), 1);
    EXPECT_EQ(requests[0].destinationID(), beta);
    EXPECT_EQ(requests[0].sources(), sources);
    EXPECT_GE(requests[0].createdAt(), before);
    EXPECT_LE(requests[0].createdAt(), after);
    const Start expected = {"--background", "ambrevoli://send?request=" + sent->text(),
                            "XDG_ACTIVATION_TOKEN=(unset)", "DESKTOP_STARTUP_ID=(unset)"};
    EXPECT_EQ(host.waitForStarts(1), std::vector<Start>{expected});
}

TEST_F(SenderTest, AVolumeOrAFolderToChooseIsSentWithoutTheDestinations)
{
    // Neither is on the list, so not even a list that cannot be read stops them.
    fs::create_directories(fs::path(*AppGroup::fromMainBundle()->destinationsFile()).parent_path());
    std::ofstream(*AppGroup::fromMainBundle()->destinationsFile()) << "{ not json";
    const VolumeTarget stick{"/media/me/STICK", "uuid:1234-ABCD"};

    const auto toVolume = sendSelection(stick, {"/home/me/a"});
    ASSERT_TRUE(toVolume) << textualForm(toVolume.error());
    const auto choosing = sendSelection(ChosenFolder{}, {"/home/me/b"});
    ASSERT_TRUE(choosing) << textualForm(choosing.error());

    std::map<Uuid, SendRequest> requests;
    for (const SendRequest& request : inbox())
        requests.emplace(request.id(), request);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests.at(*toVolume).volume(), stick);
    EXPECT_EQ(requests.at(*toVolume).sources(), std::vector<std::string>{"/home/me/a"});
    EXPECT_TRUE(requests.at(*choosing).choosesFolder());
    EXPECT_FALSE(requests.at(*choosing).volume());
    EXPECT_EQ(host.waitForStarts(2).size(), 2u);
}

TEST_F(SenderTest, AStepThatFailsStopsEverythingAfterIt)
{
    const Uuid id = Uuid::random();
    const auto blockInbox = [] {
        const std::string folder = AppGroup::fromMainBundle()->requestInbox()->folder();
        fs::create_directories(fs::path(folder).parent_path());
        std::ofstream(folder) << "not a folder";
    };
    struct Case {
        const char* name;
        std::function<void(const ScopedTempDir& world)> arrange;
        std::vector<std::string> sources;
        std::function<bool(const SendError&)> expected;
        std::size_t requestsWritten;
    } cases[] = {
        {"no destinations file yet",
         [](auto&) {},
         {"/a"},
         [&](auto& e) { return e == SendError::noSuchDestination(id); },
         0},
        {"removed since the menu was built",
         [](auto& world) { saveDestinations({Destination(Uuid::random(), "Other", world / "o")}); },
         {"/a"},
         [&](auto& e) { return e == SendError::noSuchDestination(id); },
         0},
        {"an unreadable destinations file",
         [](auto&) {
             const std::string file = *AppGroup::fromMainBundle()->destinationsFile();
             fs::create_directories(fs::path(file).parent_path());
             std::ofstream(file) << "{ not json";
         },
         {"/a"},
         [](auto& e) {
             return e == SendError::destinationsUnavailable(DestinationStoreError::unreadable());
         },
         0},
        {"no usable data home",
         [](auto&) { ::setenv("XDG_DATA_HOME", "relative", 1); },
         {"/a"},
         [](auto& e) {
             return e == SendError::destinationsUnavailable(AppGroupError::containerUnavailable(
                             std::string(mainBundle().appGroup)));
         },
         0},
        {"something else where the inbox belongs",
         [&](auto& world) {
             saveDestinations({Destination(id, "Drop", world / "drop")});
             blockInbox();
         },
         {"/a"},
         [](auto& e) { return e == SendError::requestNotWritten(SystemError{ENOTDIR}); },
         0},
        {"a source that is not UTF-8",
         [&](auto& world) { saveDestinations({Destination(id, "Drop", world / "drop")}); },
         {"/a", "/b\xFF"},
         [](auto& e) {
             return e.kind == SendError::Case::requestNotWritten &&
                    std::holds_alternative<EncodeError>(*e.cause);
         },
         0},
        {"a host that cannot be started: the request waits in the inbox",
         [&](auto& world) {
             saveDestinations({Destination(id, "Drop", world / "drop")});
             ::setenv("AMBREVOLI_HOST", (world / "no-such-host").c_str(), 1);
         },
         {"/a"},
         [](auto& e) { return e == SendError::hostNotStarted(SystemError{ENOENT}); },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempDir world;
        ScopedEnv worldData("XDG_DATA_HOME", world / "data");
        ScopedEnv worldHost("AMBREVOLI_HOST", host.executable());
        c.arrange(world);

        const auto sent = sendSelection(id, c.sources);
        ASSERT_FALSE(sent);
        EXPECT_TRUE(c.expected(sent.error())) << textualForm(sent.error());
        ::setenv("XDG_DATA_HOME", (world / "data").c_str(), 1);
        EXPECT_EQ(inbox().size(), c.requestsWritten);
    }
    // None of them started the host: after this send, its start is the only one recorded.
    saveDestinations({Destination(id, "Drop", temp / "drop")});
    ASSERT_TRUE(sendSelection(id, {"/a"}));
    EXPECT_EQ(host.waitForStarts(1).size(), 1u);
}

TEST_F(SenderTest, OpenSettingsWritesNothingAndLetsTheHostComeForwardWithTheToken)
{
    ScopedEnv staleToken("XDG_ACTIVATION_TOKEN", "stale");
    ASSERT_TRUE(openSettings("token-1"));
    ASSERT_EQ(host.waitForStarts(1).size(), 1u);
    ASSERT_TRUE(openSettings());
    EXPECT_THAT(host.waitForStarts(2),
                ::testing::UnorderedElementsAre(
                    Start{"ambrevoli://settings", "XDG_ACTIVATION_TOKEN=token-1",
                          "DESKTOP_STARTUP_ID=token-1"},
                    // Without a token of its own the caller's environment is passed on as it is.
                    Start{"ambrevoli://settings", "XDG_ACTIVATION_TOKEN=stale",
                          "DESKTOP_STARTUP_ID=(unset)"}));
    EXPECT_TRUE(inbox().empty());

    ScopedEnv missingHost("AMBREVOLI_HOST", temp / "no-such-host");
    EXPECT_EQ(openSettings("token-2"), std::unexpected(SystemError{ENOENT}));
}

std::string instanceSocket(const FakeHost& host)
{
    return host.runtimeDir() + "/ambrevoli/instance";
}

TEST_F(SenderTest, ARunningHostIsHandedTheUrlAndNoHostIsStarted)
{
    const Uuid id = Uuid::random();
    saveDestinations({Destination(id, "Drop", temp / "drop")});
    {
        FakeListener running(instanceSocket(host), "k");
        ASSERT_TRUE(running.listening());
        const auto sent = sendSelection(id, {"/a"});
        ASSERT_TRUE(sent) << textualForm(sent.error());
        ASSERT_TRUE(openSettings("token-1"));
        {
            // From the desktop: a host without a display hands the window over.
            ScopedEnv x11("DISPLAY", ":0");
            ASSERT_TRUE(openSettings());
        }
        HostMessage fromTheDesktop{true, {"ambrevoli://settings"}, {}, {}};
        fromTheDesktop.hasDisplay = true;
        EXPECT_EQ(
            running.messages(),
            (std::vector<HostMessage>{{false, {"ambrevoli://send?request=" + sent->text()}, {}, {}},
                                      {true, {"ambrevoli://settings"}, {}, "token-1"},
                                      fromTheDesktop}));
        EXPECT_EQ(inbox().size(), 1u);
    }
    // With that host gone, the next send starts one: the only start there is.
    const auto later = sendSelection(id, {"/b"});
    ASSERT_TRUE(later);
    const std::vector<Start> starts = host.waitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].at(1), "ambrevoli://send?request=" + later->text());
}

TEST_F(SenderTest, WhenNoHostTakesTheUrlTheHostIsStartedWithIt)
{
    enum class Socket { leftByADeadHost, tooBusyToAnswer, anotherUsers };
    for (const Socket kind :
         {Socket::leftByADeadHost, Socket::tooBusyToAnswer, Socket::anotherUsers}) {
        SCOPED_TRACE(static_cast<int>(kind));
        FakeHost fresh;
        std::optional<ScopedEnv> openRuntime;
        std::unique_ptr<FakeListener> busy;
        std::unique_ptr<ForeignListener> foreign;
        ScopedTempDir world;
        if (kind == Socket::anotherUsers) {
            // A folder the other user can make its socket in.
            ::chmod(world.path().c_str(), 0755);
            fs::create_directory(world / "ambrevoli");
            ::chmod((world / "ambrevoli").c_str(), 0777);
            openRuntime.emplace("XDG_RUNTIME_DIR", world.path());
            foreign = std::make_unique<ForeignListener>(world / "ambrevoli/instance");
            if (!foreign->ready()) {
                std::cout << "[  SKIPPED ] another user's socket: needs root\n";
                continue;
            }
        } else if (kind == Socket::tooBusyToAnswer) {
            busy = std::make_unique<FakeListener>(instanceSocket(fresh), "");
        } else {
            fs::create_directories(fresh.runtimeDir() + "/ambrevoli");
            ::close(testing::bindSocket(instanceSocket(fresh), false));
        }
        const Uuid id = Uuid::random();
        saveDestinations({Destination(id, "Drop", temp / "drop")});

        const auto sent = sendSelection(id, {"/a"});
        ASSERT_TRUE(sent) << textualForm(sent.error());
        const std::vector<Start> starts = fresh.waitForStarts(1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].at(1), "ambrevoli://send?request=" + sent->text());
        if (foreign) {
            EXPECT_EQ(foreign->bytesReceived(), 0);
        }
    }
}

TEST_F(SenderTest, AWaitingSendStartsAHostWithoutTheUrlAndHandsItOverOnceItListens)
{
    const Uuid id = Uuid::random();
    saveDestinations({Destination(id, "Drop", temp / "drop")});
    auto waiting =
        std::async(std::launch::async, [&] { return sendSelectionAndWait(id, {"/a"}, 20s); });

    const std::vector<Start> starts = host.waitForStarts(1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], (Start{"--background", "XDG_ACTIVATION_TOKEN=(unset)",
                                "DESKTOP_STARTUP_ID=(unset)"}));
    // The started host begins to listen.
    FakeListener started(instanceSocket(host),
                         "k" + OutcomeRecord::line("Copied 1 of 1 items").encode() +
                             OutcomeRecord::end(true).encode());
    auto sent = waiting.get();
    ASSERT_TRUE(sent) << textualForm(sent.error());
    EXPECT_EQ(sent->connection.nextOutcome(), OutcomeRecord::line("Copied 1 of 1 items"));
    EXPECT_EQ(sent->connection.nextOutcome(), OutcomeRecord::end(true));
    HostMessage expected{false, {"ambrevoli://send?request=" + sent->requestID.text()}, {}, {}};
    expected.waitsForOutcome = true;
    EXPECT_EQ(started.messages(), std::vector<HostMessage>{expected});
    EXPECT_EQ(host.startCount(), 1u);
}

TEST_F(SenderTest, AWaitingSendThatNoHostTakesLeavesTheRequestInTheInbox)
{
    const Uuid id = Uuid::random();
    saveDestinations({Destination(id, "Drop", temp / "drop")});
    // The started host never listens.
    auto sent = sendSelectionAndWait(id, {"/a"}, 300ms);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error(), SendError::hostNotStarted(SystemError{ETIMEDOUT}));
    EXPECT_EQ(host.waitForStarts(1).size(), 1u);

    ScopedEnv missingHost("AMBREVOLI_HOST", temp / "no-such-host");
    sent = sendSelectionAndWait(id, {"/b"}, 300ms);
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error(), SendError::hostNotStarted(SystemError{ENOENT}));
    EXPECT_EQ(inbox().size(), 2u);
}

TEST(SendErrorTest, TextualFormNamesTheStepAndItsCause)
{
    const Uuid id = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
    const std::pair<SendError, std::string> cases[] = {
        {SendError::destinationsUnavailable(DestinationStoreError::unsupportedVersion(2)),
         "destinationsUnavailable(unsupportedVersion(2))"},
        {SendError::noSuchDestination(id),
         "noSuchDestination(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)"},
        {SendError::requestNotWritten(SystemError{ENOTDIR}),
         "requestNotWritten(" + textualForm(SystemError{ENOTDIR}) + ")"},
        {SendError::hostNotStarted(SystemError{ENOENT}),
         "hostNotStarted(" + textualForm(SystemError{ENOENT}) + ")"},
    };
    for (const auto& [error, text] : cases)
        EXPECT_EQ(textualForm(error), text);
    EXPECT_EQ(errorDomain(SendError::noSuchDestination(id)), "AmbrevoliKit.SendError");
    EXPECT_EQ(errorCode(SendError::noSuchDestination(id)), 1);
}

} // namespace
} // namespace ambrevoli
