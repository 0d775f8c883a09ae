#include "file_data.h"

#include "copy_progress.h"
#include "file_util.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string_view>

namespace ambrevoli {

namespace {

// Between two chunks a copy notices that it was cancelled: on a slow stick a chunk takes a
// moment, not minutes, and the extra calls cost nothing against the data they move.
constexpr std::size_t rangeChunk = std::size_t{8} << 20;
constexpr off_t toTheEnd = std::numeric_limits<off_t>::max();

// Errors after which copy_file_range can't be used between these two files at all.
bool rangeCopyUnavailable(int error)
{
    return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
           error == EBADF || error == ETXTBSY;
}

} // namespace

std::expected<void, SystemError> FileDataCopy::copy(int source, int target,
                                                    const struct statx& info, DataBuffer& buffer)
{
    if (m_clone && !m_cloneUnsupported.load(std::memory_order_relaxed)) {
        if (::ioctl(target, FICLONE, source) == 0) {
            arrived(static_cast<std::int64_t>(info.stx_size));
            return {};
        }
        const int error = errno;
        if (error == EIO || error == ENOMEM || error == ENOSPC || error == EDQUOT)
            return std::unexpected(SystemError{error});
        if (error == EOPNOTSUPP || error == ENOTTY)
            m_cloneUnsupported.store(true, std::memory_order_relaxed);
    }
    const auto size = static_cast<off_t>(info.stx_size);
    if (size > 0 && static_cast<off_t>(info.stx_blocks) * 512 < size)
        return copySparse(source, target, size, buffer);
    // To the end, whatever the size said: files in /proc claim none.
    if (auto copied = copyBytes(source, target, std::nullopt, toTheEnd, size > 0, buffer); !copied)
        return std::unexpected(copied.error());
    return {};
}

void FileDataCopy::takeBackArrived()
{
    if (const std::int64_t arrived = m_arrived.exchange(0); arrived != 0)
        m_control->addBytes(-arrived);
}

// Copies `length` bytes of `source`, or up to its end if that comes first, to `target`: at
// `offset` in both, or from and at both files' own offsets (which works also for files that
// cannot seek). By copy_file_range where the two files allow it (only with `rangeCopy`), else by
// reading and writing. Yields the number of bytes that arrived.
std::expected<off_t, SystemError> FileDataCopy::copyBytes(int source, int target,
                                                          std::optional<off_t> offset, off_t length,
                                                          bool rangeCopy, DataBuffer& buffer)
{
    off_t in = offset.value_or(0), out = in;
    off_t* const inAt = offset ? &in : nullptr;
    off_t* const outAt = offset ? &out : nullptr;
    const off_t wanted = length;
    bool ended = false;
    for (bool first = true; rangeCopy && length > 0; first = false) {
        if (cancelled())
            return std::unexpected(SystemError{ECANCELED});
        const ssize_t done = ::copy_file_range(source, inAt, target, outAt,
                                               std::min<std::size_t>(length, rangeChunk), 0);
        if (done > 0) {
            length -= done;
            arrived(done);
            continue;
        }
        // Some special files claim a size but give nothing this way; read them instead.
        if (done == 0) {
            ended = !first;
            break;
        }
        if (errno == EINTR)
            continue;
        if (!rangeCopyUnavailable(errno))
            return std::unexpected(SystemError::last());
        break;
    }
    char* const data = buffer.get();
    while (!ended && length > 0) {
        if (cancelled())
            return std::unexpected(SystemError{ECANCELED});
        const std::size_t chunk = std::min<std::size_t>(length, DataBuffer::size);
        const ssize_t read =
            offset ? ::pread(source, data, chunk, in) : ::read(source, data, chunk);
        if (read == 0)
            break;
        if (read < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(SystemError::last());
        }
        const std::string_view bytes(data, static_cast<std::size_t>(read));
        auto written = offset ? writeAllAt(target, bytes, in) : writeAll(target, bytes);
        if (!written)
            return std::unexpected(written.error());
        in += read;
        length -= read;
        arrived(read);
    }
    return wanted - length;
}

// Copies only the data regions, so that holes stay holes. A hole counts as arrived data: to the
// user it is as much of the file as any other.
std::expected<void, SystemError> FileDataCopy::copySparse(int source, int target, off_t size,
                                                          DataBuffer& buffer)
{
    off_t offset = 0;
    while (offset < size) {
        const off_t data = ::lseek(source, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break;
            // No hole detection here: copy the rest as it is.
            if (auto copied = copyBytes(source, target, offset, toTheEnd - offset, true, buffer);
                !copied)
                return std::unexpected(copied.error());
            return {};
        }
        arrived(std::min(data, size) - offset);
        off_t hole = ::lseek(source, data, SEEK_HOLE);
        if (hole < 0)
            return std::unexpected(SystemError::last());
        hole = std::min(hole, size);
        const auto copied = copyBytes(source, target, data, hole - data, true, buffer);
        if (!copied)
            return std::unexpected(copied.error());
        // The file ends before its size said (files in /sys claim a page for a line): so does
        // the copy, with no zeros made up after the end.
        if (*copied < hole - data)
            return {};
        offset = hole;
    }
    if (::ftruncate(target, size) != 0)
        return std::unexpected(SystemError::last());
    arrived(size - offset);
    return {};
}

bool FileDataCopy::cancelled() const { return m_control && m_control->isCancelled(); }

void FileDataCopy::arrived(std::int64_t bytes)
{
    if (!m_control || bytes <= 0)
        return;
    m_arrived.fetch_add(bytes, std::memory_order_relaxed);
    m_control->addBytes(bytes);
}

} // namespace ambrevoli
