#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace ambrevoli::testing {

// Moves this test process into a mount namespace of its own, once, so that no mount it makes is
// seen elsewhere or outlives it. False when that is not possible: not root, no namespaces, or
// threads already running (call it before anything starts one).
inline bool privateMounts()
{
    static const bool entered = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return entered;
}

// A fresh folder in /media, where desktops mount what the user plugs in (so GIO shows what is
// mounted in it), removed with everything in it afterwards. Check made().
class MediaFolder {
public:
    MediaFolder()
    {
        std::error_code ignored;
        std::filesystem::create_directories("/media", ignored);
        std::string pattern = "/media/ambrevoli-test-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~MediaFolder()
    {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    MediaFolder(const MediaFolder&) = delete;
    MediaFolder& operator=(const MediaFolder&) = delete;

    bool made() const { return !m_path.empty(); }
    std::string operator/(std::string_view name) const { return m_path + "/" + std::string(name); }

private:
    std::string m_path;
};

// A small ext4 file system with a label, made in an image file and mounted at a folder through a
// loop device, as a stick the desktop mounted. The caller runs in a mount namespace of its own
// (see privateMounts() of the tests that use it), so nothing is seen outside the test. Check
// mounted(); whyNot() tells why not, for the skip message.
class LoopVolume {
public:
    LoopVolume(const std::string& image, const std::string& root, const std::string& label)
        : m_image(image), m_root(root)
    {
        std::filesystem::create_directories(root);
        const std::string make =
            "mkfs.ext4 -q -F -L '" + label + "' '" + image + "' 4M >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            m_whyNot = "mkfs.ext4 could not make an image";
            return;
        }
        const std::string mount = "mount -o loop '" + image + "' '" + root + "' 2>/dev/null";
        if (std::system(mount.c_str()) != 0) {
            m_whyNot = "cannot mount an image through a loop device here";
            return;
        }
        m_mounted = true;
    }
    ~LoopVolume()
    {
        unmount();
        ::unlink(m_image.c_str());
    }
    LoopVolume(const LoopVolume&) = delete;
    LoopVolume& operator=(const LoopVolume&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& whyNot() const { return m_whyNot; }
    const std::string& root() const { return m_root; }

    // As the user pulling the stick: the folder stays, empty.
    void unmount()
    {
        // The loop device is released with the last unmount (mount -o loop sets autoclear).
        if (m_mounted)
            ::umount2(m_root.c_str(), MNT_DETACH);
        m_mounted = false;
    }

private:
    std::string m_image;
    std::string m_root;
    std::string m_whyNot;
    bool m_mounted = false;
};

} // namespace ambrevoli::testing
