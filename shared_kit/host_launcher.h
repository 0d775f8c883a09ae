#pragma once

#include "error.h"
#include "handoff_url.h"

#include <expected>
#include <optional>
#include <string>
#include <vector>

// Starting the host application with a handoff URL: how senders wake it (sendSelection and
// openSettings, sender.h, are the callers). The host is started detached (its own session,
// reparented away from the caller), so the caller — possibly the file manager itself — never
// waits for it and never collects it.

namespace ambrevoli {

struct HostLaunch {
    // The host executable: $AMBREVOLI_HOST when set, else where the build installs it.
    std::string executable;
    // Whether the host may raise a window. A send does not; opening the settings does.
    bool activates = false;
    // Extra "NAME=value" entries for the host's environment, e.g. the desktop's activation
    // token so that a window it opens may take the focus.
    std::vector<std::string> environment;
};

// The host executable senders start: $AMBREVOLI_HOST when set and absolute, else the installed
// path fixed at build time.
std::string hostExecutable();

// The arguments the host is started with: "--background" when it must not activate, then the
// URL text when there is one.
std::vector<std::string> hostArguments(const std::optional<HandoffURL>& url, bool activates);

// Starts `launch.executable` with hostArguments(url, launch.activates), detached, its input,
// output and error output /dev/null, none of the caller's other descriptors open in it (so
// that the caller's pipes close when the caller ends). Returns once the program has been executed
// (not when it finishes). Fails with the system's error when it
// cannot be started (ENOENT for a missing executable, EACCES, …). Safe to call from a
// multi-threaded process: between fork and exec the child only makes async-signal-safe calls.
std::expected<void, SystemError> openWithHost(const HandoffURL& url, const HostLaunch& launch);

// Starts the host as openWithHost does, but without a URL: a host that has nothing to do but
// listen, for a sender that hands it its URL over the socket once it does.
std::expected<void, SystemError> startHost(const HostLaunch& launch);

} // namespace ambrevoli
