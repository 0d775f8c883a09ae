#include "file_pool.h"

#include "copy_progress.h"

#include <algorithm>
#include <system_error>

namespace ambrevoli {

namespace {

// Files copied at once in one folder: small files cost system calls, not bandwidth, and the
// calls of one file wait on each other. More workers than cores would only queue for them.
constexpr unsigned maxWorkers = 4;
// Files waiting for a worker, per worker: enough that no worker idles while the walk lists the
// next folder, few enough that the descriptors they will need stay few.
constexpr std::size_t queuedPerWorker = 8;

} // namespace

bool FilePool::start()
{
    if (m_tried)
        return !m_workers.empty();
    m_tried = true;
    const unsigned cores = std::thread::hardware_concurrency();
    if (cores <= 1)
        return false;
    const unsigned wanted = std::min(cores, maxWorkers);
    m_capacity = wanted * queuedPerWorker;
    try {
        for (unsigned i = 0; i < wanted; ++i)
            m_workers.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // Fewer workers, or none: the walk copies the files itself.
    }
    return !m_workers.empty();
}

void FilePool::submit(const FileJob& job)
{
    std::unique_lock lock(m_mutex);
    ++job.batch->pending;
    ++m_inFlight;
    while (m_queue.size() >= m_capacity)
        runQueued(lock, m_walkScratch);
    m_queue.push_back(job);
    lock.unlock();
    m_workAvailable.notify_one();
}

void FilePool::waitFor(FileBatch& batch)
{
    std::unique_lock lock(m_mutex);
    while (batch.pending > 0) {
        if (!m_queue.empty())
            runQueued(lock, m_walkScratch);
        else
            m_batchDone.wait(lock);
    }
}

void FilePool::waitForAll()
{
    std::unique_lock lock(m_mutex);
    while (m_inFlight > 0) {
        if (!m_queue.empty())
            runQueued(lock, m_walkScratch);
        else
            m_batchDone.wait(lock);
    }
}

void FilePool::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_workAvailable.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
}

void FilePool::notAFile(const FileJob& job)
{
    const std::lock_guard lock(m_mutex);
    job.batch->notFiles.push_back(job.nameAt);
}

void FilePool::work()
{
    CopyScratch scratch;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_workAvailable.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        runQueued(lock, scratch);
    }
}

// Runs the oldest queued job with `lock` released; after a failure it is only dropped.
void FilePool::runQueued(std::unique_lock<std::mutex>& lock, CopyScratch& scratch)
{
    const FileJob job = m_queue.front();
    m_queue.pop_front();
    lock.unlock();
    if (m_failed.load() == 0) {
        if (m_control && m_control->isCancelled())
            fail(ECANCELED);
        else if (const int error = m_copy(job, scratch))
            fail(error);
    }
    lock.lock();
    --m_inFlight;
    if (--job.batch->pending == 0)
        m_batchDone.notify_all();
}

} // namespace ambrevoli
