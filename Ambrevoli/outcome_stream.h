#pragma once

#include "outcome_waiter.h"

#include <QPointer>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QLocalSocket;
class QTimer;

namespace ambrevoli {

// The outcome of a waiting sender's requests, written to its connection as outcome records
// (outcome_record.h) once the receipt went out, and ended (and the connection closed) when the
// last holder lets go. With `sendsProgress` the copies' figures go out too, summed over the
// copies that reported, made sound (none negative, none done above its total) and at most once
// per progressInterval: the latest figures go out once the interval is over, also when no copy
// reports again. A connection that goes away loses what follows; the copies go on. Main thread
// only.
class OutcomeStream : public OutcomeWaiter {
public:
    // Often enough for a bar that moves, seldom enough not to flood a terminal.
    static constexpr std::chrono::milliseconds progressInterval{250};

    OutcomeStream(QLocalSocket* socket, bool sendsProgress);
    // Sends the end, then closes the connection once it is written.
    ~OutcomeStream() override;

    void tell(std::string_view line) override;
    void notAllCopied() override;
    void copyStarted(const std::shared_ptr<CopyControl>& control) override;
    void progressed(const CopyControl& control, const CopyProgress& progress) override;

    // The sender asked to cancel: every copy of its requests stops, those to come too.
    void cancel();

    // Sends `receipt` (encoded), then whatever was told while the message was being handled.
    // Nothing is written before.
    void begin(std::string receipt);

private:
    struct Copy {
        const CopyControl* key;
        std::shared_ptr<CopyControl> control; // kept, so that the key is not another copy's
        CopyProgress latest;
        bool reported = false;
    };

    Copy& copyOf(const CopyControl& control);
    void sendProgress();
    void write(const std::string& bytes);

    QPointer<QLocalSocket> m_socket;
    const bool m_sendsProgress;
    bool m_begun = false;
    bool m_allCopied = true;
    bool m_cancelled = false;
    std::string m_pending;
    std::vector<Copy> m_copies;
    std::chrono::steady_clock::time_point m_lastSent;
    std::unique_ptr<QTimer> m_flush;
};

} // namespace ambrevoli
