#include "activation_token.h"

#include "glib_ptr.h"

#include <gio/gdesktopappinfo.h>

#include <dlfcn.h>

#include <utility>

namespace ambrevoli {

namespace {

// GdkDisplay* gdk_display_get_default(void) and GdkAppLaunchContext*
// gdk_display_get_app_launch_context(GdkDisplay*), the same in GTK 3 and 4.
using GetDefaultDisplay = gpointer (*)();
using GetAppLaunchContext = GAppLaunchContext* (*)(gpointer display);

// The app the token is asked for: the installed desktop entry, whose name and icon an X11
// desktop shows while it waits, else the bare executable.
GObjectPtr<GAppInfo> hostAppInfo(const std::string& executable)
{
    if (GDesktopAppInfo* installed = g_desktop_app_info_new("ambrevoli.desktop"))
        return GObjectPtr<GAppInfo>(G_APP_INFO(installed));
    return GObjectPtr<GAppInfo>(g_app_info_create_from_commandline(
        executable.c_str(), "Ambrevoli", G_APP_INFO_CREATE_SUPPORTS_STARTUP_NOTIFICATION, nullptr));
}

} // namespace

ActivationToken ActivationToken::forLaunching(const std::string& executable)
{
    ActivationToken token;
    auto getDefaultDisplay =
        reinterpret_cast<GetDefaultDisplay>(::dlsym(RTLD_DEFAULT, "gdk_display_get_default"));
    auto getAppLaunchContext = reinterpret_cast<GetAppLaunchContext>(
        ::dlsym(RTLD_DEFAULT, "gdk_display_get_app_launch_context"));
    if (!getDefaultDisplay || !getAppLaunchContext)
        return token;
    gpointer display = getDefaultDisplay();
    if (!display)
        return token;
    GObjectPtr<GAppInfo> info = hostAppInfo(executable);
    if (!info)
        return token;
    token.m_context = getAppLaunchContext(display);
    if (!token.m_context)
        return token;
    if (GCharsPtr id{
            g_app_launch_context_get_startup_notify_id(token.m_context, info.get(), nullptr)})
        token.m_token = id.get();
    return token;
}

ActivationToken::ActivationToken(ActivationToken&& other) noexcept
    : m_context(std::exchange(other.m_context, nullptr)), m_token(std::move(other.m_token))
{}

ActivationToken& ActivationToken::operator=(ActivationToken&& other) noexcept
{
    std::swap(m_context, other.m_context);
    std::swap(m_token, other.m_token);
    return *this;
}

ActivationToken::~ActivationToken()
{
    if (m_context)
        g_object_unref(m_context);
}

void ActivationToken::launchFailed()
{
    if (m_context && !m_token.empty())
        g_app_launch_context_launch_failed(m_context, m_token.c_str());
}

} // namespace ambrevoli
