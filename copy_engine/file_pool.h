#pragma once

#include "file_data.h"
#include "item_metadata.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The tree copier's pool: the files of a folder are copied by a few threads while the walk goes
// on to the next folder. Internal to the copy engine.

namespace ambrevoli {

class CopyControl;

// What one thread of a copy needs: a buffer for data, buffers for attributes.
struct CopyScratch {
    DataBuffer data;
    XattrBuffers attributes;
};

// The files of one folder handed to the pool. Its fields are the pool's, read only once
// FilePool::waitFor(batch) returned.
struct FileBatch {
    // Files handed over and not yet finished.
    std::size_t pending = 0;
    // The `nameAt` of the jobs whose entry turned out not to be a file (see FilePool::notAFile).
    std::vector<std::size_t> notFiles;
};

// One file for the pool: `name` in the source folder `sourceDir`, to be copied into `folder`.
// The name and both descriptors stay valid until the batch's files are finished.
struct FileJob {
    FileBatch* batch;
    int sourceDir;
    TargetFolder folder;
    const char* name;
    std::size_t nameAt; // where the caller keeps the name, told back through notFiles
};

// Runs file jobs on up to four threads of its own (no more than the cores), started with the
// first job, all joined by stop() or the destructor. The thread that submits is the walk: it
// helps with queued jobs whenever it would otherwise wait, with scratch of its own. Every
// member is called by the walk's thread, except notAFile and fail, which any job may call.
class FilePool {
public:
    // Copies one file; yields 0 or the errno that stops the whole copy.
    using Copy = std::function<int(const FileJob&, CopyScratch&)>;

    // `walkScratch` is what the walk's thread uses when it runs a job itself. With `control`,
    // a job taken up once it is cancelled fails the copy with ECANCELED.
    FilePool(Copy copy, CopyScratch& walkScratch, const CopyControl* control)
        : m_copy(std::move(copy)), m_walkScratch(walkScratch), m_control(control)
    {}
    FilePool(const FilePool&) = delete;
    FilePool& operator=(const FilePool&) = delete;
    ~FilePool() { stop(); }

    // Starts the threads the first time; false when there are none (one core, or no thread could
    // be started), and the caller copies every file itself.
    bool start();
    // Queues `job` (counted in its batch); with the queue full, runs a queued job meanwhile.
    void submit(const FileJob& job);
    // Until every file of `batch` is finished, helping with queued ones.
    void waitFor(FileBatch& batch);
    // Until no job is queued or running.
    void waitForAll();
    // Lets the threads finish the queue and joins them.
    void stop();

    // Tells that the entry of `job` is no longer a file: the walk copies it as what it is now.
    void notAFile(const FileJob& job);

    // The first error of the copy, of the walk or of a job; once set, queued jobs are dropped.
    void fail(int error)
    {
        int none = 0;
        m_failed.compare_exchange_strong(none, error);
    }
    int failed() const { return m_failed.load(); }

private:
    void work();
    void runQueued(std::unique_lock<std::mutex>& lock, CopyScratch& scratch);

    const Copy m_copy;
    CopyScratch& m_walkScratch;
    const CopyControl* const m_control;
    std::atomic<int> m_failed = 0;

    bool m_tried = false;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_batchDone;
    std::deque<FileJob> m_queue; // guarded by m_mutex
    std::size_t m_inFlight = 0;  // guarded by m_mutex: queued or running
    std::size_t m_capacity = 0;
    bool m_stopping = false; // guarded by m_mutex
};

} // namespace ambrevoli
