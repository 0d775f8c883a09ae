#include "launch_router.h"

#include "log.h"

#include <algorithm>
#include <string>

namespace ambrevoli {

namespace {

const Logger& requestsLog() { return logger("requests"); }

// A URL that does nothing is a send that copied nothing, for a sender waiting on it.
void tellNothingCopied(const std::shared_ptr<OutcomeWaiter>& waiter, std::string_view line)
{
    if (!waiter)
        return;
    waiter->tell(line);
    waiter->notAllCopied();
}

} // namespace

InstanceReceipt LaunchRouter::route(const InstanceMessage& message, bool launching,
                                    const std::shared_ptr<OutcomeWaiter>& waiter)
{
    InstanceReceipt receipt;
    // The token is the leave for a window this message opens; a message that opens none ends
    // the desktop's wait for one.
    m_targets.lendActivationToken(message.activationToken);
    if (!message.addFolders.isEmpty())
        receipt.folders = m_targets.addFolders(message.addFolders);
    if (!message.urls.isEmpty())
        openURLs(message.urls, waiter);
    // A launch's URLs arrive before launching finishes, as they would from the desktop: a start
    // for a send must not open the launch window.
    if (launching)
        m_targets.didFinishLaunching(!message.activates || m_openedForURL);
    else if (message.reopens)
        m_targets.reopen();
    m_targets.endActivation(message.activationToken);
    return receipt;
}

void LaunchRouter::openURLs(const QStringList& urls, const std::shared_ptr<OutcomeWaiter>& waiter)
{
    m_openedForURL = true;
    if (!m_targets.hasServices()) {
        const std::string line = "Ignored " + std::to_string(urls.size()) +
                                 " URLs because the App Group container is unavailable";
        requestsLog().log(LogLevel::error, line);
        tellNothingCopied(waiter, line);
        return;
    }
    for (const QString& text : urls) {
        const std::string url = text.toStdString();
        const auto handoff = HandoffURL::parse(url);
        if (!handoff) {
            constexpr std::string_view ignored = "Ignored a URL that isn't an Ambrevoli request";
            logDetail(requestsLog(), ignored, url);
            tellNothingCopied(waiter, std::string(ignored) + ": " + url);
            continue;
        }
        route(*handoff, waiter);
    }
}

void LaunchRouter::route(const HandoffURL& url, const std::shared_ptr<OutcomeWaiter>& waiter)
{
    if (const auto requestID = url.requestID()) {
        m_targets.handleRequest(*requestID, waiter);
        return;
    }
    if (url.isUndo()) {
        m_targets.undoRequest(url.undoneRequestID(), waiter);
        return;
    }
    if (url.isSettings() && !m_targets.showSettingsWindow())
        requestsLog().log(LogLevel::standard,
                          "Ignored a settings URL: there is no settings window");
}

bool LaunchRouter::asksForWindow(const InstanceMessage& message)
{
    if (!message.activates)
        return false;
    return message.reopens ||
           std::any_of(message.urls.begin(), message.urls.end(), [](const QString& url) {
               const auto handoff = HandoffURL::parse(url.toStdString());
               return handoff && handoff->isSettings();
           });
}

} // namespace ambrevoli
