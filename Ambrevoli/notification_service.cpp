#include "notification_service.h"

namespace ambrevoli {

std::string textualForm(const NotificationError& error)
{
    using enum NotificationError::Case;
    switch (error.kind) {
    case noSessionBus: return caseText("noSessionBus");
    case noServer: return caseText("noServer", error.detail);
    case failed: return caseText("failed", error.detail);
    }
    return "unknown";
}

std::string_view errorDomain(const NotificationError&) { return "NotificationService"; }
long errorCode(const NotificationError& error) { return static_cast<long>(error.kind); }

} // namespace ambrevoli
