#include "outcome_stream.h"

#include "outcome_record.h"

#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace ambrevoli {

OutcomeStream::OutcomeStream(QLocalSocket* socket, bool sendsProgress)
    : m_socket(socket), m_sendsProgress(sendsProgress)
{}

OutcomeStream::~OutcomeStream()
{
    write(OutcomeRecord::end(m_allCopied).encode());
    if (m_socket) {
        m_socket->flush();
        m_socket->disconnectFromServer();
    }
}

void OutcomeStream::tell(std::string_view line)
{
    write(OutcomeRecord::line(std::string(line)).encode());
}

void OutcomeStream::notAllCopied() { m_allCopied = false; }

void OutcomeStream::copyStarted(const std::shared_ptr<CopyControl>& control)
{
    if (!control)
        return;
    copyOf(*control).control = control;
    // A cancel that came before this copy started still stops it.
    if (m_cancelled)
        control->cancel();
}

void OutcomeStream::progressed(const CopyControl& control, const CopyProgress& progress)
{
    if (!m_sendsProgress)
        return;
    Copy& copy = copyOf(control);
    copy.latest = progress;
    copy.reported = true;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastSent >= progressInterval) {
        sendProgress();
        return;
    }
    if (!m_flush) {
        m_flush = std::make_unique<QTimer>();
        m_flush->setSingleShot(true);
        QObject::connect(m_flush.get(), &QTimer::timeout, [this] { sendProgress(); });
    }
    // The latest figures go out when the interval is over, even if no copy reports again.
    if (!m_flush->isActive())
        m_flush->start(
            std::chrono::ceil<std::chrono::milliseconds>(progressInterval - (now - m_lastSent)));
}

void OutcomeStream::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    for (const Copy& copy : m_copies)
        if (copy.control)
            copy.control->cancel();
}

void OutcomeStream::begin(std::string receipt)
{
    m_begun = true;
    write(std::move(receipt) + std::exchange(m_pending, {}));
}

OutcomeStream::Copy& OutcomeStream::copyOf(const CopyControl& control)
{
    for (Copy& copy : m_copies)
        if (copy.key == &control)
            return copy;
    return m_copies.emplace_back(Copy{&control, nullptr, {}, false});
}

void OutcomeStream::sendProgress()
{
    ProgressFigures sum{0, 0, 0, std::int64_t{0}};
    for (const Copy& copy : m_copies) {
        if (!copy.reported)
            continue;
        // Sound figures only: a sender takes anything else for garbage and stops listening.
        const std::int64_t itemsTotal = std::max<std::int64_t>(copy.latest.itemsTotal, 0);
        sum.itemsTotal += itemsTotal;
        sum.itemsDone += std::clamp<std::int64_t>(copy.latest.itemsDone, 0, itemsTotal);
        const std::int64_t bytesDone = std::max<std::int64_t>(copy.latest.bytesDone, 0);
        if (sum.bytesTotal && copy.latest.bytesTotal) {
            const std::int64_t bytesTotal = std::max<std::int64_t>(*copy.latest.bytesTotal, 0);
            *sum.bytesTotal += bytesTotal;
            sum.bytesDone += std::min(bytesDone, bytesTotal);
        } else {
            // One copy without a byte total leaves the whole to be counted in items.
            sum.bytesTotal.reset();
            sum.bytesDone += bytesDone;
        }
    }
    m_lastSent = std::chrono::steady_clock::now();
    write(OutcomeRecord::progress(sum).encode());
}

void OutcomeStream::write(const std::string& bytes)
{
    if (!m_begun) {
        m_pending += bytes;
        return;
    }
    // A sender that stopped waiting (its connection gone) misses nothing it needed.
    if (m_socket)
        m_socket->write(bytes.data(), static_cast<qint64>(bytes.size()));
}

} // namespace ambrevoli
