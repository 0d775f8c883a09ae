#pragma once

#include "copy_outcome.h"
#include "copy_progress.h"
#include "tree_copy.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Copies the sources of one Send To request into one destination folder and reports, item by
// item, what happened. A copy never overwrites anything, never leaves a half-made item under a
// visible name, and every failure becomes one of a small set of reasons.

namespace ambrevoli {

// Tells whether the content of the item at a path is present on this machine. Called on the
// copying thread; must not throw.
using DownloadProbe = std::function<bool(const std::string& path)>;

// The probe the host application passes: no item here lacks its content, so always true.
bool defaultDownloadProbe(const std::string& path);

// What the hidden name of an item being copied begins with; a UUID follows.
inline constexpr std::string_view temporaryPrefix = ".ambrevoli-copy-";

// A plain value; copies share nothing.
class CopyEngine {
public:
    // `home` is the user's home folder, used only to recognise protected locations. `sync`
    // puts what a copy wrote onto its device (fsync(2) and syncfs(2) where not given; tests
    // watch it).
    CopyEngine(std::string home, DownloadProbe isDownloaded, DeviceSync sync = {});

    const std::string& home() const { return m_home; }

    // Copies `sources` (absolute paths, in order) into the folder `destination` (an absolute
    // path; a relative one is `missing`). Checks the destination once; if it is unusable, the
    // report carries the problem and no source is looked at. Otherwise every source gets one
    // entry in `copied` or `failed`; once the destination is found gone, the failing source and
    // every later one are `destinationGone`; once a source fails with what a dropped connection
    // gives (EIO, ENOTCONN, ETIMEDOUT, …) and the destination no longer answers as a folder, that
    // source and every later one are `unreachable`. What interrupted copies left in the folder is
    // removed first (removeAbandonedTemporaries). Each item is copied under a hidden temporary
    // name, locked as a live copy until it is placed or removed, its lock and ACLs are lifted,
    // it is moved to the first free name (the name itself, else "name 2.ext", "name 3.ext", …)
    // and its protections are put back; whatever was made under a temporary name and not placed
    // is removed. Housekeeping failures are logged on the "copy" logger and change no outcome.
    // The folder must be writable and searchable; it need not be readable.
    //
    // What the destination's volume can't hold (examineVolume): metadata it refuses (ACLs,
    // extended attributes, owners, permissions, file flags) is left out, the item copied all
    // the same, and what was left out is logged once per call ("… can't hold ACLs and owners").
    // A name it refuses fails the item as `nameRefused`, a file larger than it stores as
    // `tooLarge` (before any of that file's data is written), a link or special file it can't
    // hold as `kindRefused`. Where it needs a sync (removable drives and their file systems),
    // what was copied is on the device before the report is returned: on a FUSE volume every
    // file and folder a copy made is synced before it is placed; once the items are placed, the
    // volume (syncfs, but for FUSE) and then the destination folder are synced. A network share
    // through GIO's FUSE bridge is not synced: a file's close there, which the copy checks,
    // returns once the server holds it, and no sync reaches further.
    //
    // A destination or source holding a NUL byte names nothing (the system would read it cut
    // short): the destination is `missing`, the source is `missing`, and the refusal is logged.
    //
    // With `control` (which must outlive the call, and serves one call only), once the
    // destination passed its check:
    // - The walk: the sources' data is summed (measureSources: regular files' sizes, whole
    //   trees, no link followed, each source as listed) within the control's walk budget. Then
    //   control->begin(itemCount, total), the total none when the budget ran out; progress is
    //   then counted in items. With a problem at the destination there is no walk and no report.
    // - Progress: every chunk of data that arrives is added as it arrives, a hole as if written,
    //   a clone as the whole file; each source finished (copied, failed or cancelled) is an item
    //   done. An item that fails after some of its data arrived takes that data back and, like
    //   an item that fails before copying, passes its walked share over, so the bytes keep pace
    //   with the items. At the end control->finish() reports every item and byte done. The
    //   control's handler runs on this call's thread or on one of the tree copier's pool
    //   threads, one at a time: at begin(), then at most once per the control's interval as
    //   data arrives and items finish, and once at finish().
    // - Cancel (control->cancel(), any thread): checked before each item, before each entry of
    //   a tree and each file the pool takes up, and between chunks of data (at most 8 MiB). The
    //   item in progress stops there, every thread copying it stops, and its temporary item is
    //   removed as after a failure; the items already placed stay; that item and every later
    //   one are failed as `cancelled`. An item whose data all arrived is still placed, so a
    //   cancel after the last item changes no outcome. The report's `cancelled` tells whether
    //   the control was cancelled when the copy ended.
    // Without `control` there is no walk and no counting.
    //
    // Synchronous and never throws: callers run it off their main thread. Several calls may run
    // at once, also into the same folder.
    CopyReport copyItems(const std::vector<std::string>& sources, const std::string& destination,
                         CopyControl* control = nullptr) const noexcept;

private:
    std::string m_home;
    DownloadProbe m_isDownloaded;
    DeviceSync m_sync;
};

// The reason for an errno met while examining or copying a source: EPERM → notPermitted
// (protectedFolder: whether `source`, trimmed, is a protected location), ENOENT and ENOTDIR →
// missing, EACCES → noPermission, ENOSPC and EDQUOT → outOfSpace, ENAMETOOLONG → nameTooLong,
// EFBIG → tooLarge, any other → other.
CopyFailure itemFailureForErrno(int error, const std::string& source, const std::string& home);

// The reason for an errno met while moving a copy to its final name. A refusal there is the
// destination's, not the source's: EPERM and EACCES are `other`. ENOSPC and EDQUOT →
// outOfSpace, ENAMETOOLONG → nameTooLong, ENOENT and ENOTDIR → missing, any other (EEXIST after
// 10000 taken names included) → other.
CopyFailure placementFailureForErrno(int error);

// Removes a copy that was not placed: its protections are stripped, then it is removed with
// everything beneath it. Nothing at `path` is fine. A failed removal is logged on the "copy"
// logger ("Couldn't remove a partial copy: <description>").
void removePartialCopy(const std::string& path);

// Removes from the folder `destination` every temporary item (its name begins with
// ".ambrevoli-copy-" or ".ambrevoli-check-") whose copy is no longer running: one that was
// killed, or lost its machine's power, mid-copy. An item counts as abandoned when its lock can
// be taken (lockAbandoned): a live copy's item, a link, another user's item and anything that
// cannot be opened are left alone, and no link is followed. Removal is that of
// removePartialCopy. Logged on the "copy" logger: each item removed ("Removed a temporary item
// no copy was holding: <path>"), and each that could not be. A folder that cannot be listed is
// left as it is. A copy whose new item it meets in the moment before that item is locked goes
// on under another name. Blocks on the file system: call it off the main thread. Safe while
// copies run into the folder.
void removeAbandonedTemporaries(const std::string& destination);

} // namespace ambrevoli
