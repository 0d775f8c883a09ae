#pragma once

#include "unique_fd.h"
#include "update_error.h"

#include <QByteArrayView>
#include <QString>

#include <expected>
#include <string>

namespace ambrevoli {

// The file an update is downloaded into, verified from and installed from. It lives in a folder
// only this user can enter, under a name nobody can guess, and is made by this object alone, so
// no one else can put a link or another file where the download goes.
//
// Removes its file when it goes, unless keep() was called. Not thread-safe; the descriptor may be
// duplicated for another thread.
class UpdateDownload {
public:
    // Makes the folder `folder` (mode 0700, its parents as needed) or opens it when it is there,
    // never following a link in its last component, and creates a new, empty file in it (mode
    // 0600, exclusively) named "<namePart>_<random>.deb". An existing folder must be a folder of
    // this user that nobody else may write to; one that others may only read or enter is closed
    // to them first. Failure: unsafeFolder when the folder is a link, no folder, another user's
    // or writable by others; saveFailed when the folder or the file can't be made.
    static std::expected<UpdateDownload, UpdateError> create(const QString& folder,
                                                             const QString& namePart);

    UpdateDownload(UpdateDownload&& other) noexcept = default;
    UpdateDownload& operator=(UpdateDownload&& other) = delete;
    UpdateDownload(const UpdateDownload&) = delete;
    UpdateDownload& operator=(const UpdateDownload&) = delete;
    ~UpdateDownload();

    // Writes all of `bytes` at the end of the file. Failure: saveFailed with the system's words
    // ("No space left on device").
    std::expected<void, UpdateError> append(QByteArrayView bytes);

    qint64 size() const { return m_size; }
    // A new read-only descriptor of the very same file, close-on-exec; empty on failure.
    UniqueFd openForReading() const;
    QString path() const;

    // Leaves the file on disk when this object goes (the user installs it by hand).
    void keep() { m_keep = true; }

private:
    UpdateDownload(UniqueFd folder, std::string folderPath, std::string name, UniqueFd file);

    UniqueFd m_folder;
    std::string m_folderPath;
    std::string m_name;
    UniqueFd m_file;
    qint64 m_size = 0;
    bool m_keep = false;
};

} // namespace ambrevoli
