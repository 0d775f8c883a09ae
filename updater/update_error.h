#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace ambrevoli {

// Why a check, a download or an installation did not lead to an installed update.
struct UpdateError {
    enum class Case {
        notConfigured,    // this build carries no update feed or no signing key
        feedUnreachable,  // the feed's server could not be reached
        feedHTTPError,    // the server answered the feed with an HTTP error; detail = status
        feedInvalid,      // the feed is not an update feed
        insecureURL,      // a feed, download or redirect address that is not https
        downloadFailed,   // the download broke off or the server refused it
        unsigned_,        // the update carries no signature
        badSignature,     // the signature is malformed or does not match the file
        wrongLength,      // the file is not as long as the feed says
        notOurPackage,    // not a Debian package of this application, version and architecture
        noPackageKit,     // PackageKit isn't there to install the update
        installFailed,    // PackageKit refused or failed; detail = its words. A password prompt
                          // that was dismissed or refused comes here too: the daemon reports
                          // both as not-authorized ("Failed to obtain authentication.")
        installCancelled, // PackageKit ended the transaction as cancelled
        saveFailed,       // the download could not be written to disk; detail = the system's words
        unsafeFolder,     // the download folder is not this user's alone; detail = what is wrong
        tooLarge,         // the feed or the package is larger than it may be; detail = how large
        timedOut,         // the server took longer than a check or a download may take
    };

    Case kind;
    std::string detail;
    // The verified package that is left for the user to install by hand (with noPackageKit);
    // empty otherwise: a refused file is deleted.
    QString keptFile;

    static UpdateError make(Case kind, std::string detail = {})
    {
        return {kind, std::move(detail), {}};
    }

    friend bool operator==(const UpdateError&, const UpdateError&) = default;
};

// "feedHTTPError(404)", "badSignature", "installFailed(…)".
std::string textualForm(const UpdateError& error);
std::string_view errorDomain(const UpdateError& error);
long errorCode(const UpdateError& error);

// What the user is told, in plain words.
QString message(const UpdateError& error);

} // namespace ambrevoli
