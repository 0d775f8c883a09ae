#include "update_error.h"

#include "error.h"
#include "qt_translation.h"

namespace ambrevoli {

std::string textualForm(const UpdateError& error)
{
    using enum UpdateError::Case;
    switch (error.kind) {
    case notConfigured: return caseText("notConfigured");
    case feedUnreachable: return caseText("feedUnreachable", error.detail);
    case feedHTTPError: return caseText("feedHTTPError", error.detail);
    case feedInvalid: return caseText("feedInvalid", error.detail);
    case insecureURL: return caseText("insecureURL", error.detail);
    case downloadFailed: return caseText("downloadFailed", error.detail);
    case unsigned_: return caseText("unsigned");
    case badSignature: return caseText("badSignature");
    case wrongLength: return caseText("wrongLength", error.detail);
    case notOurPackage: return caseText("notOurPackage", error.detail);
    case noPackageKit: return caseText("noPackageKit", error.detail);
    case installFailed: return caseText("installFailed", error.detail);
    case installCancelled: return caseText("installCancelled");
    case saveFailed: return caseText("saveFailed", error.detail);
    case unsafeFolder: return caseText("unsafeFolder", error.detail);
    case tooLarge: return caseText("tooLarge", error.detail);
    case timedOut: return caseText("timedOut", error.detail);
    }
    return "unknown";
}

std::string_view errorDomain(const UpdateError&) { return "Updates"; }

long errorCode(const UpdateError& error) { return static_cast<long>(error.kind); }

QString message(const UpdateError& error)
{
    using enum UpdateError::Case;
    switch (error.kind) {
    case notConfigured:
        return uiText("This copy of Ambrevoli was built without an update feed, so it "
                      "can't check for updates.");
    case feedUnreachable:
        return uiText("Ambrevoli couldn't reach the update server. Check that you're "
                      "connected to the internet, then try again.");
    case feedHTTPError:
        return uiText("The update server couldn't give out the list of updates "
                      "(error %1). Try again later.")
            .arg(QString::fromStdString(error.detail));
    case feedInvalid:
        return uiText("The list of updates from the update server is damaged. Try "
                      "again later.");
    case insecureURL:
        return uiText("The update server sent Ambrevoli to an address that isn't "
                      "secure, so the update was refused.");
    case downloadFailed:
        return uiText("The update couldn't be downloaded. Check that you're connected "
                      "to the internet, then try again.");
    case unsigned_:
        return uiText("The update isn't signed, so it can't be trusted and was "
                      "refused.");
    case badSignature:
        return uiText("The update's signature doesn't match, so it can't be trusted "
                      "and was refused.");
    case wrongLength:
        return uiText("The downloaded update isn't the size it should be, so it was "
                      "refused.");
    case notOurPackage:
        return uiText("The downloaded update isn't an Ambrevoli package for this "
                      "computer, so it was refused.");
    case noPackageKit:
        return uiText("Ambrevoli installs updates with PackageKit, which isn't "
                      "available on this computer. The downloaded update is kept so "
                      "that you can install it yourself.");
    case installFailed:
        return uiText("The update couldn't be installed: %1")
            .arg(QString::fromStdString(error.detail));
    case installCancelled:
        return uiText("The update wasn't installed because the installation was "
                      "cancelled.");
    case saveFailed:
        return uiText("The update couldn't be saved on this computer: %1.")
            .arg(QString::fromStdString(error.detail));
    case unsafeFolder:
        return uiText("The folder Ambrevoli downloads updates into isn't yours alone "
                      "(%1), so the update wasn't downloaded.")
            .arg(QString::fromStdString(error.detail));
    case tooLarge:
        return uiText("The update server sent more than Ambrevoli accepts, so the "
                      "update was refused.");
    case timedOut: return uiText("The update server took too long to answer. Try again later.");
    }
    return {};
}

} // namespace ambrevoli
