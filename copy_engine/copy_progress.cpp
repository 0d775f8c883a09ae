#include "copy_progress.h"

#include <algorithm>

namespace ambrevoli {

namespace {

std::int64_t ticksNow() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

} // namespace

double CopyProgress::fraction() const
{
    if (bytesTotal)
        return *bytesTotal > 0 ? static_cast<double>(bytesDone) / static_cast<double>(*bytesTotal)
                               : (itemsTotal > 0 && itemsDone < itemsTotal ? 0.0 : 1.0);
    return itemsTotal > 0 ? static_cast<double>(itemsDone) / static_cast<double>(itemsTotal) : 1.0;
}

CopyControl::CopyControl(ProgressHandler onProgress, std::chrono::milliseconds interval,
                         WalkBudget budget)
    : m_onProgress(std::move(onProgress)), m_interval(interval), m_budget(budget)
{}

void CopyControl::cancel() noexcept { m_cancelled.store(true, std::memory_order_relaxed); }

void CopyControl::begin(std::int64_t itemsTotal, std::optional<std::int64_t> bytesTotal) noexcept
{
    {
        const std::lock_guard lock(m_mutex);
        m_itemsTotal = itemsTotal;
        m_bytesTotal = bytesTotal;
    }
    report(/*always=*/true);
}

void CopyControl::addBytes(std::int64_t bytes) noexcept
{
    m_bytesDone.fetch_add(bytes, std::memory_order_relaxed);
    report(/*always=*/false);
}

void CopyControl::itemDone() noexcept
{
    m_itemsDone.fetch_add(1, std::memory_order_relaxed);
    report(/*always=*/false);
}

void CopyControl::finish() noexcept
{
    {
        const std::lock_guard lock(m_mutex);
        m_itemsDone.store(m_itemsTotal, std::memory_order_relaxed);
        if (m_bytesTotal)
            m_bytesDone.store(*m_bytesTotal, std::memory_order_relaxed);
    }
    report(/*always=*/true);
    const std::lock_guard lock(m_mutex);
    m_finished = true;
}

CopyProgress CopyControl::progress() const noexcept
{
    const std::lock_guard lock(m_mutex);
    return figures();
}

CopyProgress CopyControl::figures() const noexcept
{
    CopyProgress now;
    now.itemsTotal = m_itemsTotal;
    now.bytesTotal = m_bytesTotal;
    now.itemsDone = std::min(m_itemsDone.load(std::memory_order_relaxed), m_itemsTotal);
    now.bytesDone = m_bytesDone.load(std::memory_order_relaxed);
    if (m_bytesTotal)
        now.bytesDone = std::min(now.bytesDone, *m_bytesTotal);
    // Figures only go up, whatever order the copying threads added theirs in.
    now.itemsDone = std::max(now.itemsDone, m_reported.itemsDone);
    now.bytesDone = std::max(now.bytesDone, m_reported.bytesDone);
    return now;
}

void CopyControl::report(bool always) noexcept
{
    const std::int64_t now = ticksNow();
    if (!always && now < m_nextReport.load(std::memory_order_relaxed))
        return;
    std::unique_lock lock(m_mutex, std::defer_lock);
    // Another thread is reporting right now; its figures are fresh enough.
    if (always)
        lock.lock();
    else if (!lock.try_lock())
        return;
    // Another thread may have reported since this one looked at the clock.
    if (m_finished || (!always && now < m_nextReport.load(std::memory_order_relaxed)))
        return;
    m_nextReport.store(now + m_interval.count(), std::memory_order_relaxed);
    m_reported = figures();
    if (m_onProgress)
        m_onProgress(m_reported);
}

} // namespace ambrevoli
