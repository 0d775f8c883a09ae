#pragma once

// A volume of a file system removable drives ship with (exFAT, NTFS, FAT), made in an image
// file, attached to a loop device and mounted through its FUSE driver for the life of a value.
// The kernel's own drivers for these may be missing; the FUSE ones are what scripts/install-deps
// brings (exfat-fuse, ntfs-3g, fusefat).
//
//     auto volume = DriveVolume::mount(DriveVolume::exfat, dir / "image", dir / "mnt");
//     if (!volume)
//         GTEST_SKIP() << volume.error();

#include "fs_fixture.h"

#include <cstdio>
#include <expected>
#include <string>
#include <utility>

namespace ambrevoli::testing {

class DriveVolume {
public:
    struct Kind {
        const char* name;  // as examineVolume names it
        const char* mkfs;  // the image's path follows
        const char* mount; // the device's and then the folder's path follow
    };
    static constexpr Kind exfat{"exfat", "mkfs.exfat", "mount.exfat-fuse"};
    static constexpr Kind ntfs{"ntfs", "mkfs.ntfs -F -Q", "ntfs-3g"};
    static constexpr Kind fat{"vfat", "mkfs.fat -F 32", "fusefat -o rw+"};

    // Makes a 64 MiB volume of `kind` in the file `image` and mounts it at `folder` (created),
    // in this test's own mount namespace. On failure nothing is left attached or mounted, and
    // the error says why (the tools missing, no loop device, no FUSE, not root).
    static std::expected<DriveVolume, std::string> mount(const Kind& kind, const std::string& image,
                                                         const std::string& folder)
    {
        if (::geteuid() != 0)
            return std::unexpected("needs root for loop devices");
        if (!privateMounts())
            return std::unexpected("no private mount namespace here");
        if (::truncate(image.c_str(), 0) != 0 && errno != ENOENT)
            return std::unexpected("can't reset " + image);
        writeFile(image, "");
        if (::truncate(image.c_str(), 64 << 20) != 0)
            return std::unexpected("can't size " + image);
        if (!run(std::string(kind.mkfs) + " " + image))
            return std::unexpected(std::string(kind.mkfs) + " failed (is it installed?)");
        std::string device = output("losetup -f --show " + image);
        if (device.empty())
            return std::unexpected("no free loop device");
        DriveVolume volume(device, folder);
        fs::create_directories(folder);
        if (!run(std::string(kind.mount) + " " + device + " " + folder))
            return std::unexpected(std::string(kind.mount) + " failed (is it installed?)");
        volume.m_mounted = true;
        return volume;
    }

    DriveVolume(DriveVolume&& other) noexcept
        : m_device(std::exchange(other.m_device, {})), m_folder(other.m_folder),
          m_mounted(std::exchange(other.m_mounted, false))
    {}
    DriveVolume& operator=(DriveVolume&&) = delete;
    ~DriveVolume()
    {
        // The FUSE driver ends with its mount; the loop device is let go once it has.
        if (m_mounted && ::umount2(m_folder.c_str(), 0) != 0)
            ::umount2(m_folder.c_str(), MNT_DETACH);
        if (!m_device.empty())
            run("losetup -d " + m_device);
    }

    const std::string& path() const { return m_folder; }

private:
    DriveVolume(std::string device, std::string folder)
        : m_device(std::move(device)), m_folder(std::move(folder))
    {}

    static bool run(const std::string& command)
    {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }

    // The first line the command printed.
    static std::string output(const std::string& command)
    {
        FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
        if (pipe == nullptr)
            return {};
        char line[256] = {};
        const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
        ::pclose(pipe);
        std::string text = read ? line : "";
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    std::string m_device;
    std::string m_folder;
    bool m_mounted = false;
};

} // namespace ambrevoli::testing
