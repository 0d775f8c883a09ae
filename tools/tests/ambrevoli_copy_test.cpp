// Runs the built ambrevoli-copy as a user would and reads what it prints.

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ambrevoli {
namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
};

ToolRun runTool(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv{const_cast<char*>(AMBREVOLI_COPY_BINARY)};
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ToolRun run;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// How appendJsonString writes a path: every "/" escaped.
std::string escaped(const std::string& path)
{
    std::string out;
    for (char c : path)
        out += c == '/' ? std::string("\\/") : std::string(1, c);
    return out;
}

TEST(AmbrevoliCopyTest, PrintsTheReportAsOneJsonObject)
{
    testing::ScopedTempDir temp;
    std::filesystem::create_directory(temp / "dest");
    std::ofstream(temp / "dest/a \"quoted\".txt") << "old";
    std::ofstream(temp / "a \"quoted\".txt") << "new";
    const std::string dest = temp / "dest/";
    const std::string source = temp / "a \"quoted\".txt";

    const ToolRun run = runTool({dest, source, temp / "absent", "relative"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "{\"destination\": \"" + escaped(dest) +
                           "\", \"problem\": null, \"itemCount\": 3, \"copied\": [{\"source\": \"" +
                           escaped(temp / "a \\\"quoted\\\".txt") + "\", \"copy\": \"" +
                           escaped(temp / "dest/a \\\"quoted\\\" 2.txt") +
                           "\"}], \"failed\": [{\"source\": \"" + escaped(temp / "absent") +
                           "\", \"reason\": \"missing\"}, {\"source\": \"relative\", \"reason\": "
                           "\"missing\"}]}\n");
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["copied"][0]["source"], source);
    std::ifstream copy(temp / "dest/a \"quoted\" 2.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "new");
}

TEST(AmbrevoliCopyTest, UnusableDestinationIsAProblemNotAnExitCode)
{
    testing::ScopedTempDir temp;
    const ToolRun run = runTool({temp / "gone", temp / "a", temp / "b"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "{\"destination\": \"" + escaped(temp / "gone") +
                           "\", \"problem\": \"missing\", \"itemCount\": 2, \"copied\": [], "
                           "\"failed\": []}\n");
}

TEST(AmbrevoliCopyTest, NamesThatAreNotUtf8StillGiveValidJson)
{
    testing::ScopedTempDir temp;
    std::filesystem::create_directory(temp / "dest");
    const std::string source = temp / "caf\xE9";
    std::ofstream(source) << "x";
    const ToolRun run = runTool({temp / "dest", source});
    EXPECT_EQ(run.exitCode, 0);
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["copied"][0]["source"], temp / "caf\xEF\xBF\xBD");
    EXPECT_TRUE(std::filesystem::exists(temp / "dest/caf\xE9"));
}

TEST(AmbrevoliCopyTest, LabelAddsTheNotificationsWords)
{
    testing::ScopedTempDir temp;
    std::filesystem::create_directory(temp / "dest");
    std::ofstream(temp / "a.txt") << "a";
    const ToolRun run = runTool({"--label", "Drop", temp / "dest", temp / "a.txt", "relative.txt"});
    EXPECT_EQ(run.exitCode, 0);
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["summary"]["title"], "Copied 1 of 2 items to Drop");
    EXPECT_EQ(report["summary"]["body"],
              "\u201Crelative.txt\u201D was moved or deleted before it could be copied.");
    EXPECT_EQ(report["itemCount"], 2);
}

TEST(AmbrevoliCopyTest, MissingArgumentsAreAUsageError)
{
    for (const auto& arguments : {std::vector<std::string>{}, std::vector<std::string>{"/tmp"},
                                  std::vector<std::string>{"--label", "Drop", "/tmp"}}) {
        const ToolRun run = runTool(arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.out, "");
    }
}

} // namespace
} // namespace ambrevoli
