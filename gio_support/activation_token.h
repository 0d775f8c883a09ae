#pragma once

#include <gio/gio.h>

#include <string>

namespace ambrevoli {

// The desktop's leave for a window the host opens to take the focus: an activation token under
// Wayland, a startup-notification identifier under X11. It comes from the app launch context of
// the file manager's display (GDK's), which only the toolkit the file manager already runs can
// give; the module looks GDK up in the process at run time instead of linking a toolkit. Where
// the process has no GDK display (or the display gives no token), there is none.
//
// Owns the launch context it came from. Use on the main thread only: GDK is not thread-safe.
class ActivationToken {
public:
    // A token for launching `executable` from the file manager's display, or none.
    static ActivationToken forLaunching(const std::string& executable);

    ActivationToken() = default;
    ActivationToken(ActivationToken&& other) noexcept;
    ActivationToken& operator=(ActivationToken&& other) noexcept;
    ~ActivationToken();

    // The token's text, for openSettings; empty when there is none.
    const std::string& text() const { return m_token; }

    // Tells the display that the launch the token was for did not happen, so that it stops
    // waiting for a window (no busy cursor lingers).
    void launchFailed();

private:
    GAppLaunchContext* m_context = nullptr;
    std::string m_token;
};

} // namespace ambrevoli
