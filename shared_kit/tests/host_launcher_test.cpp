#include "host_launcher.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;

std::string readWhenThere(const std::string& path)
{
    for (int i = 0; i < 500 && !fs::exists(path + ".done"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class HostLauncherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A fake host that waits for the test to say "go" (so a launcher that waited for the
        // host to end would never return), then records how it was started.
        std::ofstream(host) << "#!/bin/sh\n"
                               "while [ ! -e \"$(dirname \"$0\")/go\" ]; do sleep 0.01; done\n"
                               "out=\"$(dirname \"$0\")/out\"\n"
                               "printf '%s\\n' \"$@\" \"token=$XDG_ACTIVATION_TOKEN\" "
                               "\"io=$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1)\" "
                               "\"$(cut -d' ' -f6 /proc/$$/stat)\" > \"$out\"\n"
                               "touch \"$out.done\"\n";
        ::chmod(host.c_str(), 0755);
    }

    testing::ScopedTempDir temp;
    std::string host = temp / "fake-host";
};

TEST_F(HostLauncherTest, StartsTheHostDetachedWithTheUrl)
{
    const Uuid id = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
    ASSERT_TRUE(openWithHost(HandoffURL::send(id), {host, false, {"XDG_ACTIVATION_TOKEN=abc"}}));
    std::ofstream(temp / "go") << "";
    const std::string out = readWhenThere(temp / "out");
    const std::string expected = "--background\n"
                                 "ambrevoli://send?request=3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F\n"
                                 "token=abc\n"
                                 // Nothing of the caller's input or output, which the caller
                                 // may be reading to its end.
                                 "io=/dev/null /dev/null\n";
    ASSERT_TRUE(out.starts_with(expected)) << out;
    // A session of its own, not ours.
    EXPECT_NE(out.substr(expected.size()), std::to_string(::getsid(0)) + "\n");
}

TEST_F(HostLauncherTest, SettingsActivates)
{
    ASSERT_TRUE(openWithHost(HandoffURL::settings(), {host, true, {}}));
    std::ofstream(temp / "go") << "";
    EXPECT_TRUE(readWhenThere(temp / "out")
                    .starts_with("ambrevoli://settings\ntoken=\nio=/dev/null /dev/null\n"));
}

TEST_F(HostLauncherTest, AHostThatCannotBeStartedIsAnError)
{
    EXPECT_EQ(openWithHost(HandoffURL::settings(), {temp / "missing", true, {}}),
              std::unexpected(SystemError{ENOENT}));
    std::ofstream(temp / "not-executable") << "#!/bin/sh\n";
    EXPECT_EQ(openWithHost(HandoffURL::settings(), {temp / "not-executable", true, {}}),
              std::unexpected(SystemError{EACCES}));
}

TEST_F(HostLauncherTest, HostPathCanBeOverriddenWithAnAbsolutePath)
{
    ::setenv("AMBREVOLI_HOST", "/opt/test/ambrevoli", 1);
    EXPECT_EQ(hostExecutable(), "/opt/test/ambrevoli");
    ::setenv("AMBREVOLI_HOST", "relative/ambrevoli", 1);
    EXPECT_TRUE(hostExecutable().ends_with("/bin/ambrevoli"));
    ::unsetenv("AMBREVOLI_HOST");
}

} // namespace
} // namespace ambrevoli
