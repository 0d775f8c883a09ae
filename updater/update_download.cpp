#include "update_download.h"

#include "file_util.h"
#include "uuid.h"

#include <QFile>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ambrevoli {

namespace {

std::string systemWords(int code) { return std::strerror(code); }

UpdateError saveFailed(int code)
{
    return UpdateError::make(UpdateError::Case::saveFailed, systemWords(code));
}

UpdateError unsafe(const std::string& folder, const std::string& why)
{
    return UpdateError::make(UpdateError::Case::unsafeFolder, folder + ": " + why);
}

// The version as a file name part: no separators or anything a shell would trip over.
std::string fileNamePart(const QString& text)
{
    std::string part;
    for (const QChar c : text)
        part += (c.isLetterOrNumber() && c.unicode() < 128) || c == u'.' || c == u'+' ||
                        c == u'~' || c == u'-'
                    ? char(c.unicode())
                    : '_';
    return part;
}

} // namespace

std::expected<UpdateDownload, UpdateError> UpdateDownload::create(const QString& folder,
                                                                  const QString& namePart)
{
    const std::string path = QFile::encodeName(folder).toStdString();
    const std::size_t slash = path.find_last_of('/');
    if (path.empty() || path.front() != '/' || slash + 1 == path.size())
        return std::unexpected(unsafe(path, "not an absolute folder path"));
    const std::string parentPath = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    if (auto made = makePrivateDirectories(parentPath); !made)
        return std::unexpected(saveFailed(made.error().code));
    UniqueFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return std::unexpected(saveFailed(errno));
    if (::mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
        return std::unexpected(saveFailed(errno));
    UniqueFd dir(
        ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        if (errno == ELOOP || errno == ENOTDIR)
            return std::unexpected(unsafe(path, "a link or no folder"));
        return std::unexpected(saveFailed(errno));
    }
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0)
        return std::unexpected(saveFailed(errno));
    if (info.st_uid != ::geteuid())
        return std::unexpected(unsafe(path, "another user's folder"));
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return std::unexpected(unsafe(path, "others may write to it"));
    // Earlier versions made the folder readable by everyone: close it, it is ours.
    if ((info.st_mode & 07777) != 0700 && ::fchmod(dir.get(), 0700) != 0)
        return std::unexpected(saveFailed(errno));

    const std::string file = fileNamePart(namePart) + '_' + Uuid::random().text() + ".deb";
    UniqueFd fd(::openat(dir.get(), file.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return std::unexpected(saveFailed(errno));
    return UpdateDownload(std::move(dir), path, file, std::move(fd));
}

UpdateDownload::UpdateDownload(UniqueFd folder, std::string folderPath, std::string name,
                               UniqueFd file)
    : m_folder(std::move(folder)), m_folderPath(std::move(folderPath)), m_name(std::move(name)),
      m_file(std::move(file))
{}

UpdateDownload::~UpdateDownload()
{
    // The folder's descriptor names the file: a folder renamed meanwhile still loses the right one.
    if (m_folder && !m_keep)
        ::unlinkat(m_folder.get(), m_name.c_str(), 0);
}

std::expected<void, UpdateError> UpdateDownload::append(QByteArrayView bytes)
{
    if (auto written = writeAll(m_file.get(), std::string_view(bytes.data(), bytes.size()));
        !written)
        return std::unexpected(saveFailed(written.error().code));
    m_size += bytes.size();
    return {};
}

UniqueFd UpdateDownload::openForReading() const
{
    // Through the descriptor, not the name: whatever the name leads to now, this is the file.
    const std::string self = "/proc/self/fd/" + std::to_string(m_file.get());
    return UniqueFd(::open(self.c_str(), O_RDONLY | O_CLOEXEC));
}

QString UpdateDownload::path() const
{
    return QFile::decodeName(QByteArray::fromStdString(m_folderPath + '/' + m_name));
}

} // namespace ambrevoli
