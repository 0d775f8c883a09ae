#include "network_shares.h"

#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace ambrevoli {
namespace {

TEST(NetworkSharesTest, NamesTheShareAPathInTheFuseBridgeLiesOn)
{
    const std::string runtime = "/run/user/1000";
    const struct Case {
        const char* path;
        std::optional<std::string> name;
    } cases[] = {
        {"/run/user/1000/gvfs/smb-share:server=nas,share=photos/2024", "photos on nas"},
        {"/run/user/1000/gvfs/sftp:host=server.lan,port=2222,user=me/home/me/Backups",
         "server.lan"},
        {"/run/user/1000/gvfs/dav:host=cloud.example,ssl=true,user=me,prefix=%2Fremote.php/Docs",
         "cloud.example"},
        {"/run/user/1000/gvfs/afp-volume:host=mac.local,user=me,volume=Shared%20Files",
         "Shared Files on mac.local"},
        {"/run/user/1000/gvfs/smb-share:server=nas,share=a%2Cb", "a,b on nas"},
        // Not a share: elsewhere, the bridge's own folder, another user's, a name with no server.
        {"/home/me/gvfs/sftp:host=server/x", std::nullopt},
        {"/run/user/1000/gvfs", std::nullopt},
        {"/run/user/1000/gvfs/", std::nullopt},
        {"/run/user/1001/gvfs/sftp:host=server/x", std::nullopt},
        {"/run/user/1000/gvfs/not a mount/x", std::nullopt},
        {"/run/user/1000/gvfs/trash:/x", std::nullopt},
        {"/run/user/1000/gvfsx/sftp:host=server/x", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto share = networkShareOf(c.path, runtime);
        EXPECT_EQ(share ? std::optional(share->name) : std::nullopt, c.name);
        EXPECT_EQ(networkShareOf(c.path, runtime + "/"), share);
    }
    EXPECT_EQ(networkShareOf(cases[0].path, runtime)->root,
              "/run/user/1000/gvfs/smb-share:server=nas,share=photos");
    EXPECT_EQ(networkShareOf(cases[0].path, ""), std::nullopt);
}

TEST(NetworkSharesTest, NamesAShareOnlyWhileItIsNotMountedInThisUsersRuntimeFolder)
{
    testing::ScopedTempDir runtime;
    testing::ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime.path());
    const std::string share = runtime / "gvfs/sftp:host=server";
    EXPECT_EQ(unmountedShareName(share + "/home/x"), "server");
    std::filesystem::create_directories(share);
    EXPECT_EQ(unmountedShareName(share + "/home/x"), std::nullopt);
    EXPECT_EQ(unmountedShareName("/run/user/0/gvfs/sftp:host=server/x"), std::nullopt);
    EXPECT_EQ(unmountedShareName(runtime.path()), std::nullopt);
}

TEST(NetworkSharesTest, KnowsTheSchemesOfGioAndKioShares)
{
    for (const char* scheme : {"smb", "sftp", "dav", "davs", "webdav", "fish", "ftp", "nfs"})
        EXPECT_TRUE(isNetworkShareScheme(scheme)) << scheme;
    for (const char* scheme : {"file", "trash", "recent", "mtp", "", "SMB"})
        EXPECT_FALSE(isNetworkShareScheme(scheme)) << scheme;
}

} // namespace
} // namespace ambrevoli
