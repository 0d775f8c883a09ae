#pragma once

#include "appcast.h"
#include "update_error.h"

#include <QString>

#include <functional>

namespace ambrevoli {

// How an update session looks to the user. The updater calls these on the main thread as a
// session goes along; the driver shows what fits (the standard one: windows, and the gentle
// reminder of a scheduled update) and answers through the callbacks it is handed. A callback
// may be called once; calling it after the session ended does nothing.
class UserDriver {
public:
    enum class Choice {
        install, // download if not done yet, verify, install
        dismiss, // remind me later: the session ends; the next check finds it again
        skip,    // skip this version: scheduled checks pass it over from now on
    };

    struct UpdateState {
        bool userInitiated = false; // found by a check the user asked for
        bool downloaded = false;    // already downloaded and verified in the background
    };

    virtual ~UserDriver() = default;

    // A check the user asked for has started; `cancel` abandons it.
    virtual void showUserInitiatedUpdateCheck(std::function<void()> cancel) = 0;
    // A newer version than the running one was found; `reply` says what the user chose.
    virtual void showUpdateFound(const AppcastItem& update, UpdateState state,
                                 std::function<void(Choice)> reply) = 0;
    // A user-initiated check found nothing newer than `runningVersion`.
    virtual void showUpdateNotFound(const QString& runningVersion,
                                    std::function<void()> acknowledge) = 0;
    // A user-initiated check, a download or an installation failed.
    virtual void showUpdaterError(const UpdateError& error, std::function<void()> acknowledge) = 0;
    // The download the user chose started; `cancel` abandons it.
    virtual void showDownloadInitiated(std::function<void()> cancel) = 0;
    // `expected` is -1 while the length is not known.
    virtual void showDownloadProgress(qint64 received, qint64 expected) = 0;
    // The verified update is being installed; `percent` is -1 while PackageKit can't tell.
    virtual void showInstallingUpdate(int percent) = 0;
    // The update is installed; the application restarts into it after `acknowledge`.
    virtual void showUpdateInstalled(std::function<void()> acknowledge) = 0;
    // The user asked to check while a found update waits for their choice: bring it forward.
    virtual void showUpdateInFocus() = 0;
    // The session is over: close whatever it still shows.
    virtual void dismissUpdateInstallation() = 0;
};

} // namespace ambrevoli
