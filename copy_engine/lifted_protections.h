#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// A faithful copy carries its source's lock (the immutable flag), its append-only flag and its
// POSIX ACLs. Those would stop the engine from moving a finished copy to its final name and from
// removing a copy that failed halfway, so they are taken off first and put back afterwards.

namespace ambrevoli {

// The file flags that lock an item: FS_IMMUTABLE_FL | FS_APPEND_FL. No other flag is changed.
inline constexpr std::uint32_t protectionFlagMask = 0x00000010 | 0x00000020;

// The protections taken off one item, to be put back after it moved. Owns the saved ACLs; used
// by one thread. Flags exist only on regular files and folders, read and written through a
// descriptor opened without following links; a link has neither flags nor ACLs.
class LiftedProtections {
public:
    // Remembers the flags word and ACLs of the item at `path` and takes the protections off:
    // clears the mask's flags, replaces the access ACL by the one its mode bits imply and
    // removes a folder's default ACL. Every failure is ignored (what stays in place makes the
    // later move or removal fail, and that is reported).
    static LiftedProtections lift(const std::string& path);

    // Puts the remembered protections onto the item at `path`. When nothing was lifted it makes
    // no call and yields nothing. Otherwise the ACLs are put back, then the whole saved flags
    // word when it had a bit of the mask; yields the ACLs' errno when they could not be put back
    // (the flags are written all the same), else the flags' errno, else nothing.
    std::optional<int> restore(const std::string& path) const;

    // The item's whole flags word as found; 0 when it could not be read.
    std::uint32_t flags() const { return m_flags; }
    // Whether an ACL beyond the mode bits (or a default ACL) was taken off.
    bool hasAcl() const { return m_access || m_default; }

private:
    struct AclFree {
        void operator()(void* acl) const;
    };
    using AclHandle = std::unique_ptr<void, AclFree>;

    std::uint32_t m_flags = 0;
    AclHandle m_access;
    AclHandle m_default;
};

// Clears the protections of the item at `path` and, for a folder, of everything beneath it, so
// that it can be removed: the mask's flags, the ACLs (as lifting does), and for each folder a
// mode that gives its owner read, write and search permission, set before its entries are
// visited. Never follows a link; every failure is ignored.
void stripProtections(const std::string& path);

} // namespace ambrevoli
