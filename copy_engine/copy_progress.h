#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

// How far a copy has come, and the user's way to stop it: one CopyControl per copy, shared
// between the copying threads and whoever watches the copy or cancels it.

namespace ambrevoli {

struct CopyProgress {
    std::int64_t itemsDone = 0;  // sources finished: copied, failed or cancelled
    std::int64_t itemsTotal = 0; // sources of the request
    // Data that arrived in copies (a clone counts whole, a hole as if written). Never above
    // bytesTotal when that is known: a source that grew since the walk does not push it over.
    std::int64_t bytesDone = 0;
    // The data of every source as a walk before the copy found it; none when the walk ran out
    // of its budget, and then progress is counted in items.
    std::optional<std::int64_t> bytesTotal;

    // Done of the whole, from 0 to 1: by bytes when their total is known, else by items.
    double fraction() const;

    friend bool operator==(const CopyProgress&, const CopyProgress&) = default;
};

// What the walk that learns a copy's total may spend before the copy starts; a huge tree must
// not hold up its own copy. When either runs out, the copy goes on counting items only.
struct WalkBudget {
    std::int64_t entries = 100'000;
    std::chrono::milliseconds time{250};
};

class CopyControl {
public:
    // Called on a copying thread, never two at once, with figures that never go down: at the
    // start, then at most once per interval, and once more at the end with every item done.
    // Must be quick, must not throw, and may call nothing of the control but cancel().
    using ProgressHandler = std::function<void(const CopyProgress&)>;

    static constexpr std::chrono::milliseconds defaultInterval{250};

    explicit CopyControl(ProgressHandler onProgress = {},
                         std::chrono::milliseconds interval = defaultInterval,
                         WalkBudget budget = {});
    CopyControl(const CopyControl&) = delete;
    CopyControl& operator=(const CopyControl&) = delete;

    // Asks the copy to stop at its next write boundary. Any thread, any time, more than once;
    // a copy that has ended stays as it ended.
    void cancel() noexcept;
    bool isCancelled() const noexcept { return m_cancelled.load(std::memory_order_relaxed); }

    const WalkBudget& walkBudget() const { return m_budget; }

    // What the engine tells as it goes; any copying thread.
    void begin(std::int64_t itemsTotal, std::optional<std::int64_t> bytesTotal) noexcept;
    void addBytes(std::int64_t bytes) noexcept;
    void itemDone() noexcept;
    // Every item is done: reports the whole total as done.
    void finish() noexcept;

    // The figures so far.
    CopyProgress progress() const noexcept;

private:
    void report(bool always) noexcept;
    CopyProgress figures() const noexcept; // with m_mutex held

    const ProgressHandler m_onProgress;
    const std::chrono::steady_clock::duration m_interval;
    const WalkBudget m_budget;
    std::atomic<bool> m_cancelled = false;
    std::atomic<std::int64_t> m_bytesDone = 0;
    std::atomic<std::int64_t> m_itemsDone = 0;
    std::atomic<std::int64_t> m_nextReport{0}; // steady_clock ticks

    mutable std::mutex m_mutex; // guards what follows, and is held while the handler runs
    std::int64_t m_itemsTotal = 0;
    std::optional<std::int64_t> m_bytesTotal;
    CopyProgress m_reported;
    bool m_finished = false;
};

} // namespace ambrevoli
