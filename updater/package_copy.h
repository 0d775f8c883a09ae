#pragma once

#include "error.h"
#include "unique_fd.h"

#include <sys/stat.h>

#include <expected>
#include <stop_token>
#include <string>

namespace ambrevoli {

// The copy of a package that PackageKit is given to install, and the guard on it.
//
// PackageKit opens the file by name, as root, after the password prompt: minutes after we hand
// it over, and with automatic downloads days after the download was checked. So the bytes it
// reads come from a copy made when the installation starts and verified again from the copy's
// own descriptor. The copy is a new file in a fresh 0700 folder of a random name: no process of
// another user reaches it, and whatever rewrites or replaces the download meanwhile changes only
// the download. A process of the same user that is already running can still find the copy and
// replace it while the prompt is up; nothing short of root stops that (such a process could as
// well ptrace us). What it can't do is go unnoticed: writing, truncating, renaming, linking or
// unlinking the file or its folder changes their change time, which no process can set back, and
// replacing them leaves another inode at the name. unchanged() looks for all of that, so such an
// installation is reported as failed (PackageKit may have installed the other bytes), never as
// the verified update installed.
//
// (A sealed memfd handed over as /proc/<pid>/fd/<n> would shut out even the same user, but
// PackageKit's apt backend finds no package at such a path: "Could not find package(s)".)
//
// The folder is made in `parent`, which must be one the user can't rename (the runtime folder,
// /tmp): its name is part of the path PackageKit opens. Copy and folder are removed when the
// copy goes. Any thread; one copy is used by one thread at a time.
class PackageCopy {
public:
    // Copies every byte of `source` (from its start, whatever its offset) into `<folder>/<name>`
    // in a new 0700 folder in `parent`, read-only. Stops early with ECANCELED when `stop` is
    // requested. On failure nothing is left behind.
    static std::expected<PackageCopy, SystemError>
    make(int source, const std::string& parent, const std::string& name, std::stop_token stop = {});

    PackageCopy(PackageCopy&& other) noexcept = default;
    PackageCopy& operator=(PackageCopy&& other) noexcept;
    PackageCopy(const PackageCopy&) = delete;
    PackageCopy& operator=(const PackageCopy&) = delete;
    ~PackageCopy() { remove(); }

    // The copy's descriptor, for verifying it.
    int fd() const { return m_file.get(); }
    // The absolute path to hand over.
    const std::string& path() const { return m_path; }

    // True while the copy is as it was made: the same file at its path, in the same folder, not
    // written, renamed, linked or unlinked since.
    bool unchanged() const;

private:
    PackageCopy() = default;
    void remove();

    UniqueFd m_parent, m_folder, m_file;
    std::string m_folderName, m_name, m_path;
    struct stat m_folderState {};
    struct stat m_fileState {};
};

} // namespace ambrevoli
