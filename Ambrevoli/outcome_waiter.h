#pragma once

#include "copy_progress.h"

#include <memory>
#include <string_view>

namespace ambrevoli {

// A sender that waits for the outcome of the requests it handed over (ambrevoli-send --wait).
// Whoever works on one of those requests holds the waiter until its outcome is told; the sender
// learns the end, and whether everything was copied, once the last holder lets go. Main thread
// only: the last holder must let go there too.
class OutcomeWaiter {
public:
    virtual ~OutcomeWaiter() = default;

    // One outcome line as it is logged, with paths and error descriptions shown: the sender's
    // own files and folders.
    virtual void tell(std::string_view line) = 0;

    // Something was not copied, or a request was refused or could not be read.
    virtual void notAllCopied() = 0;

    // The copy of one of the requests started; cancelling `control` stops it. A sender that
    // may cancel keeps it; others need not.
    virtual void copyStarted(const std::shared_ptr<CopyControl>& control) { (void)control; }

    // How far the copy started with `control` has come, as its control reported it. A sender
    // that shows progress passes it on; others need not.
    virtual void progressed(const CopyControl& control, const CopyProgress& progress)
    {
        (void)control;
        (void)progress;
    }
};

} // namespace ambrevoli
