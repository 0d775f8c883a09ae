#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

// A mounted volume on a drive the user may pull out: a stick, a card, a disk on USB.
struct RemovableVolume {
    QString mountPoint; // as UDisks2 lists it
    QString label;      // the file system's label, else the mount point's last component

    friend bool operator==(const RemovableVolume&, const RemovableVolume&) = default;
};

// Why a volume could not be ejected.
struct EjectError {
    enum class Case {
        noUDisks,      // nothing answers for UDisks2 on the system bus
        notMounted,    // no file system UDisks2 knows is mounted there (any more)
        busy,          // a file on it is open, or a program works in it
        notAuthorized, // the system's policy refused, or the user cancelled the password prompt
        failed,        // any other refusal
    };

    Case kind;
    std::string detail; // UDisks2's error name and message; empty for notMounted

    friend bool operator==(const EjectError&, const EjectError&) = default;
};

// "noUDisks(…)", "notMounted", "busy(org.freedesktop.UDisks2.Error.DeviceBusy: …)", …
std::string textualForm(const EjectError& error);
std::string_view errorDomain(const EjectError& error);
long errorCode(const EjectError& error);

// Tells which volumes are removable and ejects them the way the file manager does, through
// UDisks2 (org.freedesktop.UDisks2 on the system bus).
//
// A volume is removable when its drive says so (Removable, MediaRemovable, Ejectable or
// CanPowerOff, or a drive on the "usb" or "sdio" bus) and it is not one of the system's own:
// UDisks2 hints the block as a system device, or a file system on the same drive is mounted at
// "/". Encrypted volumes are followed to the drive beneath them.
//
// Used on the main thread only. Every handler runs later on that thread, never inside the call,
// and not at all when the ejector is destroyed first.
class DriveEjector : public QObject {
    Q_OBJECT
public:
    using Found = std::function<void(std::optional<RemovableVolume>)>;
    using Done = std::function<void(std::expected<void, EjectError>)>;

    explicit DriveEjector(QDBusConnection bus = QDBusConnection::systemBus(),
                          QObject* parent = nullptr);

    // The removable volume that holds the absolute path `path` (which must exist), or nothing:
    // it is on no removable volume, UDisks2 does not answer, or a mount UDisks2 doesn't know
    // lies between the volume and the path.
    void removableVolumeOf(const QString& path, Found found);

    // Unmounts every file system of the drive that holds the file system mounted at
    // `mountPoint`, locks the drive's unlocked encrypted volumes, then powers the drive off
    // where it can, else ejects its medium where it can. Success once everything on the drive is
    // unmounted: then it is safe to pull, even when the drive could not be powered off (that is
    // logged). On the first unmount or lock that fails, stops with its error.
    void eject(const QString& mountPoint, Done done);

private:
    struct Step;
    void run(std::vector<Step> steps, std::size_t next, Done done);

    QDBusConnection m_bus;
};

} // namespace ambrevoli
