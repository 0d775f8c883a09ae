#pragma once

#include "error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

// The data of the tree copier's files: cloned, copied by the kernel, or read and written, with
// holes kept as holes. Internal to the copy engine.

namespace ambrevoli {

class CopyControl;

// A thread's buffer for reading and writing data, allocated on first use: a thread whose files
// all go by clone or copy_file_range never needs one.
class DataBuffer {
public:
    static constexpr std::size_t size = 256 * 1024;

    char* get()
    {
        if (!m_data)
            m_data = std::make_unique<char[]>(size);
        return m_data.get();
    }

private:
    std::unique_ptr<char[]> m_data;
};

// Copies the data of the files of one tree copy. Any of the copy's threads may call copy() at
// once, each with a buffer of its own.
class FileDataCopy {
public:
    // `clone`: try a clone first. `control`, when given, is told every piece of data as it
    // arrives and checked for a cancel between chunks.
    FileDataCopy(bool clone, CopyControl* control) : m_clone(clone), m_control(control) {}
    FileDataCopy(const FileDataCopy&) = delete;
    FileDataCopy& operator=(const FileDataCopy&) = delete;

    // Copies the data of the regular file `source` (as `info` describes it: size and blocks) into
    // the empty file `target`: a clone when asked for and the volume makes one, else the data
    // regions only where the file has holes, else every byte to the end, whatever the size said
    // (files in /proc claim none). A file that ends before its size said ends there too. Each
    // chunk that arrives (at most 8 MiB by copy_file_range, 256 KiB by reading and writing; a
    // hole as if it were written; a clone as the whole file) is added to the control. Fails with
    // the system's error, or ECANCELED between chunks once the control is cancelled.
    std::expected<void, SystemError> copy(int source, int target, const struct statx& info,
                                          DataBuffer& buffer);

    // Takes back from the control every byte that copy() told it, so that another attempt counts
    // afresh. Called once no copy() runs.
    void takeBackArrived();

private:
    std::expected<off_t, SystemError> copyBytes(int source, int target, std::optional<off_t> offset,
                                                off_t length, bool rangeCopy, DataBuffer& buffer);
    std::expected<void, SystemError> copySparse(int source, int target, off_t size,
                                                DataBuffer& buffer);
    bool cancelled() const;
    void arrived(std::int64_t bytes);

    const bool m_clone;
    CopyControl* const m_control;
    // Once a clone is refused for want of support, no later file asks again.
    std::atomic<bool> m_cloneUnsupported = false;
    std::atomic<std::int64_t> m_arrived = 0; // told to m_control
};

} // namespace ambrevoli
