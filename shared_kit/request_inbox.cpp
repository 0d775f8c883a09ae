#include "request_inbox.h"

#include "dir_listing.h"
#include "file_util.h"
#include "paths.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace ambrevoli {

std::string textualForm(const RequestInboxError& e)
{
    using enum RequestInboxError::Case;
    switch (e.kind) {
    case notFound: return caseText("notFound", e.id.text());
    case notARegularFile: return caseText("notARegularFile", e.id.text());
    case tooLarge: return caseText("tooLarge", e.id.text());
    case idMismatch: return caseText("idMismatch", e.id.text());
    case unsafeInbox: return caseText("unsafeInbox");
    }
    return "unknown";
}

std::string_view errorDomain(const RequestInboxError&) { return "AmbrevoliKit.RequestInboxError"; }
long errorCode(const RequestInboxError& e) { return static_cast<long>(e.kind); }

namespace {

// Opening the inbox folder: a descriptor, or "missing" (no value, no error), or an error.
using OpenedInbox = std::expected<std::optional<UniqueFd>, RequestInbox::SweepFailure>;

OpenedInbox openInbox(const std::string& folder)
{
    if (folder.empty())
        return std::unexpected(RequestInboxError::unsafeInbox());
    // O_NOFOLLOW | O_DIRECTORY: a link or a non-folder in the inbox's place is refused, and
    // everything after works relative to this descriptor.
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        return std::optional<UniqueFd>(std::move(fd));
    switch (errno) {
    case ENOENT: return std::optional<UniqueFd>();
    case ELOOP:
    case ENOTDIR: return std::unexpected(RequestInboxError::unsafeInbox());
    default: return std::unexpected(SystemError::last());
    }
}

template <class Failure, class From> std::unexpected<Failure> fail(From error)
{
    return std::unexpected(Failure(std::move(error)));
}

} // namespace

RequestInbox::RequestInbox(std::string folder, std::int64_t maxFileSize)
    : m_folder(std::move(folder)),
      m_maxFileSize(
          std::clamp<std::int64_t>(maxFileSize, 0, std::numeric_limits<std::int64_t>::max() - 1))
{}

std::string RequestInbox::fileName(const Uuid& id) { return id.text() + ".json"; }

std::expected<std::string, RequestInbox::WriteFailure>
RequestInbox::write(const SendRequest& request) const
{
    // Request files list the user's paths: other local users must not read them.
    if (auto made = makePrivateDirectories(m_folder); !made)
        return fail<WriteFailure>(made.error());
    auto bytes = request.jsonData();
    if (!bytes)
        return fail<WriteFailure>(bytes.error());
    // Request files are short-lived and a lost one only means the user clicks again, so they
    // are not flushed: the host should see them within milliseconds.
    const std::string path = joinPath(m_folder, fileName(request.id()));
    if (auto written = writeFileAtomically(path, *bytes, /*durable=*/false); !written)
        return fail<WriteFailure>(written.error());
    return path;
}

std::expected<SendRequest, RequestInbox::TakeFailure> RequestInbox::take(const Uuid& id) const
{
    auto opened = openInbox(m_folder);
    if (!opened)
        return std::visit([](auto e) { return fail<TakeFailure>(e); }, opened.error());
    if (!*opened)
        return fail<TakeFailure>(RequestInboxError::notFound(id));
    const UniqueFd& dir = **opened;
    const std::string name = fileName(id);

    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    UniqueFd file(
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        switch (errno) {
        case ELOOP: return fail<TakeFailure>(RequestInboxError::notARegularFile(id));
        case ENOENT: return fail<TakeFailure>(RequestInboxError::notFound(id));
        default: return fail<TakeFailure>(SystemError::last());
        }
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return fail<TakeFailure>(SystemError::last());
    if (!S_ISREG(info.st_mode))
        return fail<TakeFailure>(RequestInboxError::notARegularFile(id));
    if (info.st_size > m_maxFileSize)
        return fail<TakeFailure>(RequestInboxError::tooLarge(id));

    // One byte more than allowed tells a file that grew after the fstat.
    const auto limit = static_cast<std::size_t>(m_maxFileSize) + 1;
    std::string bytes(std::min<std::size_t>(limit, static_cast<std::size_t>(info.st_size) + 1),
                      '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() >= limit)
                break;
            bytes.resize(std::min(limit, bytes.size() * 2));
        }
        ssize_t n = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail<TakeFailure>(SystemError::last());
        }
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    if (filled > static_cast<std::size_t>(m_maxFileSize))
        return fail<TakeFailure>(RequestInboxError::tooLarge(id));
    file.reset();

    // Removed before decoding, by name through the same folder descriptor: of two takers only
    // the one whose removal succeeds hands the request out.
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0)
        return fail<TakeFailure>(SystemError::last());

    auto request = SendRequest::decode(bytes);
    if (!request)
        return std::visit([](auto e) { return fail<TakeFailure>(e); }, request.error());
    if (request->id() != id)
        return fail<TakeFailure>(RequestInboxError::idMismatch(id));
    return std::move(*request);
}

std::expected<std::int64_t, RequestInbox::SweepFailure> RequestInbox::sweep(double now,
                                                                            double maxAge) const
{
    auto opened = openInbox(m_folder);
    if (!opened)
        return std::unexpected(opened.error());
    if (!*opened)
        return 0;
    const UniqueFd& dir = **opened;

    auto listing = DirListing::open(dir.get());
    if (!listing)
        return fail<SweepFailure>(listing.error());

    std::int64_t removed = 0;
    auto remove = [&](const char* name, int flags) {
        if (::unlinkat(dir.get(), name, flags) == 0)
            ++removed;
    };
    while (const dirent* entry = listing->next()) {
        struct stat info {};
        if (::fstatat(dir.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(info.st_mode)) {
            if (info.st_size > m_maxFileSize) {
                remove(entry->d_name, 0);
                continue;
            }
            const double modified = static_cast<double>(info.st_mtim.tv_sec) +
                                    static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
            // Equal, negative (mtime in the future) and NaN ages all keep the file.
            if (maxAge < now - modified)
                remove(entry->d_name, 0);
        } else if (S_ISDIR(info.st_mode)) {
            // A folder that is not empty stays: the removal fails.
            remove(entry->d_name, AT_REMOVEDIR);
        } else {
            remove(entry->d_name, 0);
        }
    }
    if (const auto error = listing->error())
        return fail<SweepFailure>(*error);
    return removed;
}

} // namespace ambrevoli
