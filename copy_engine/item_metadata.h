#pragma once

#include "tree_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <vector>

// What the tree copier carries besides data: times, owners, extended attributes and ACLs,
// modes and file flags. Internal to the copy engine.

namespace ambrevoli {

// A folder that new items are created in, with what a new item's group will be.
struct TargetFolder {
    int fd;
    gid_t gid;
    bool setgid;
};

struct XattrItem;

// A thread's buffers for attribute names and values; they grow to the largest met.
struct XattrBuffers {
    std::vector<char> names = std::vector<char>(1024);
    std::vector<char> value = std::vector<char>(1024);
};

// Carries the metadata of one tree copy's items onto their copies. Any of the copy's threads may
// call it at once, each with buffers of its own. Every call yields 0 or the errno that stopped
// it; what the volume can't hold is told to the volume's `leftOut` instead (see copyTree).
class ItemMetadata {
public:
    explicit ItemMetadata(const TargetVolume& volume) : m_volume(volume) {}

    // Learns whether `folderFd`, the folder the copy is made in (open, if only as a path), has a
    // default ACL: items made in it inherit that, and the copies of items without ACLs must lose
    // it again, or they would grant what their sources do not. Called before any copy.
    void learnInheritedAcls(int folderFd);

    // The group the system gives a new item in `folder`.
    gid_t createdGid(const TargetFolder& folder) const
    {
        return folder.setgid ? folder.gid : m_gid;
    }

    // Times, owner, attributes and ACLs, mode and flags, in that order (a lock would block every
    // later write), from the open `source` onto the open `target`, just made in `folder`; a
    // folder is then synced when the volume asks for it.
    int finish(int source, const struct statx& info, int target, const TargetFolder& folder,
               XattrBuffers& buffers) const;

    // Times, owner, attributes and ACLs and mode of a FIFO, socket or device node, both items
    // open only as a path (O_PATH), so that nothing opens the item itself.
    int finishPathOnly(int source, const struct statx& info, int target, const TargetFolder& folder,
                       XattrBuffers& buffers) const;

    // Times and owner of the link `name` just made in `folder`.
    int finishLink(const struct statx& info, const TargetFolder& folder, const char* name) const;

private:
    bool ownerWanted(const struct statx& info, const TargetFolder& folder) const;
    void leftOutIf(bool refused, LeftOut what) const;
    // After setting times failed: whether that fails the copy (errno says why); a refusal
    // (EOPNOTSUPP) is told to the volume's leftOut instead, and errno is kept.
    bool timesFailed() const;
    int copyXattrs(const XattrItem& source, const XattrItem& target, bool folder,
                   XattrBuffers& buffers) const;

    const TargetVolume& m_volume;
    bool m_inheritsAcls = false;
    const uid_t m_uid = ::geteuid();
    const gid_t m_gid = ::getegid();
};

} // namespace ambrevoli
