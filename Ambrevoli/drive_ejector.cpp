#include "drive_ejector.h"

#include "log.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QPointer>

#include <sys/stat.h>

#include <algorithm>
#include <array>

namespace ambrevoli {

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString managerPath = QStringLiteral("/org/freedesktop/UDisks2");
const QString blockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString filesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString encryptedInterface = QStringLiteral("org.freedesktop.UDisks2.Encrypted");
const QString driveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString noObject = QStringLiteral("/");

// A listing answers at once, or the host would wait for it at every copy's end and at quitting.
constexpr int listingTimeout = 5'000;
// Unmounting first writes out what the drive's cache still holds: minutes on a slow stick.
constexpr int stepTimeout = 15 * 60'000;

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

const Logger& volumesLog() { return logger("volumes"); }

struct Block {
    QString path;
    QString drive = noObject;
    QString cryptoBackingDevice = noObject;
    bool hintSystem = false;
    QString label;
    bool encrypted = false;
    QStringList mountPoints; // empty for a block without a file system, or one not mounted
};

// What UDisks2 knows of the blocks and drives, from one GetManagedObjects answer.
struct Disks {
    QHash<QString, Block> blocks;
    QHash<QString, QVariantMap> drives; // object path → the Drive interface's properties

    // The drive beneath `block`, following encrypted volumes to their backing device; empty
    // for a block on no drive (a loop device, a RAID).
    QString driveOf(const Block& block) const
    {
        const Block* current = &block;
        // Bounded: a broken answer must not loop.
        for (int depth = 0; depth < 4; ++depth) {
            if (current->drive != noObject)
                return current->drive;
            const auto backing = blocks.find(current->cryptoBackingDevice);
            if (backing == blocks.end())
                return {};
            current = &*backing;
        }
        return {};
    }

    std::vector<const Block*> blocksOf(const QString& drive) const
    {
        std::vector<const Block*> found;
        for (const Block& block : blocks)
            if (driveOf(block) == drive)
                found.push_back(&block);
        std::sort(found.begin(), found.end(),
                  [](const Block* a, const Block* b) { return a->path < b->path; });
        return found;
    }

    const Block* mountedAt(const QString& mountPoint) const
    {
        for (const Block& block : blocks)
            if (block.mountPoints.contains(mountPoint))
                return &block;
        return nullptr;
    }

    bool holdsUnlockedVolume(const Block& encrypted) const
    {
        return std::any_of(blocks.begin(), blocks.end(), [&](const Block& block) {
            return block.cryptoBackingDevice == encrypted.path;
        });
    }
};

QString objectPathOf(const QVariant& value)
{
    return value.canConvert<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path() : noObject;
}

// MountPoints is an array of NUL-terminated byte strings in the file system's own encoding.
QStringList mountPointsOf(const QVariant& value)
{
    QByteArrayList raw;
    if (value.canConvert<QDBusArgument>())
        raw = qdbus_cast<QByteArrayList>(value.value<QDBusArgument>());
    else
        raw = value.value<QByteArrayList>();
    QStringList decoded;
    for (QByteArray point : raw) {
        while (point.endsWith('\0'))
            point.chop(1);
        if (!point.isEmpty())
            decoded << QFile::decodeName(point);
    }
    return decoded;
}

Disks disksFrom(const ManagedObjects& objects)
{
    Disks disks;
    for (auto object = objects.begin(); object != objects.end(); ++object) {
        const Interfaces& interfaces = object.value();
        const QString path = object.key().path();
        if (const auto drive = interfaces.find(driveInterface); drive != interfaces.end())
            disks.drives.insert(path, drive.value());
        const auto block = interfaces.find(blockInterface);
        if (block == interfaces.end())
            continue;
        Block found;
        found.path = path;
        found.drive = objectPathOf(block->value(QStringLiteral("Drive")));
        found.cryptoBackingDevice = objectPathOf(block->value(QStringLiteral("CryptoBackingDevice")));
        found.hintSystem = block->value(QStringLiteral("HintSystem")).toBool();
        found.label = block->value(QStringLiteral("IdLabel")).toString();
        found.encrypted = interfaces.contains(encryptedInterface);
        if (const auto filesystem = interfaces.find(filesystemInterface);
            filesystem != interfaces.end())
            found.mountPoints = mountPointsOf(filesystem->value(QStringLiteral("MountPoints")));
        disks.blocks.insert(path, found);
    }
    return disks;
}

bool isRemovableDrive(const QVariantMap& drive)
{
    static const std::array flags = {QStringLiteral("Removable"), QStringLiteral("MediaRemovable"),
                                     QStringLiteral("Ejectable"), QStringLiteral("CanPowerOff")};
    if (std::any_of(flags.begin(), flags.end(),
                    [&](const QString& flag) { return drive.value(flag).toBool(); }))
        return true;
    const QString bus = drive.value(QStringLiteral("ConnectionBus")).toString();
    return bus == QLatin1StringView("usb") || bus == QLatin1StringView("sdio");
}

bool holdsTheSystem(const Disks& disks, const QString& drive)
{
    for (const Block* block : disks.blocksOf(drive))
        if (block->hintSystem || block->mountPoints.contains(QStringLiteral("/")))
            return true;
    return false;
}

bool lies(const QString& path, const QString& mountPoint)
{
    if (mountPoint == QLatin1StringView("/"))
        return path.startsWith(u'/');
    return path == mountPoint || path.startsWith(mountPoint + u'/');
}

bool sameDevice(const QString& a, const QString& b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &second) == 0 && first.st_dev == second.st_dev;
}

EjectError errorOf(const QDBusError& error)
{
    const QString name = error.name();
    std::string detail = (name + QStringLiteral(": ") + error.message()).toStdString();
    if (name == QLatin1StringView("org.freedesktop.UDisks2.Error.DeviceBusy"))
        return {EjectError::Case::busy, std::move(detail)};
    if (name.startsWith(QLatin1StringView("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
        name == QLatin1StringView("org.freedesktop.UDisks2.Error.Cancelled"))
        return {EjectError::Case::notAuthorized, std::move(detail)};
    if (error.type() == QDBusError::ServiceUnknown || error.type() == QDBusError::NoReply ||
        error.type() == QDBusError::Disconnected)
        return {EjectError::Case::noUDisks, std::move(detail)};
    return {EjectError::Case::failed, std::move(detail)};
}

// Asks UDisks2 for everything it manages; `done` gets the answer, or the bus's error.
void fetchDisks(QDBusConnection& bus, QObject* context,
                std::function<void(std::expected<Disks, QDBusError>)> done)
{
    const QDBusMessage message =
        QDBusMessage::createMethodCall(service, managerPath,
                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                       QStringLiteral("GetManagedObjects"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, listingTimeout), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         const QDBusMessage reply = finished->reply();
                         if (reply.type() != QDBusMessage::ReplyMessage ||
                             reply.arguments().isEmpty()) {
                             done(std::unexpected(QDBusError(reply)));
                             return;
                         }
                         done(disksFrom(qdbus_cast<ManagedObjects>(reply.arguments().first())));
                     });
}

} // namespace

std::string textualForm(const EjectError& error)
{
    std::string name;
    switch (error.kind) {
    case EjectError::Case::noUDisks: name = "noUDisks"; break;
    case EjectError::Case::notMounted: name = "notMounted"; break;
    case EjectError::Case::busy: name = "busy"; break;
    case EjectError::Case::notAuthorized: name = "notAuthorized"; break;
    case EjectError::Case::failed: name = "failed"; break;
    }
    return error.detail.empty() ? name : name + "(" + error.detail + ")";
}

std::string_view errorDomain(const EjectError&) { return "DriveEjector"; }

long errorCode(const EjectError& error) { return static_cast<long>(error.kind); }

struct DriveEjector::Step {
    QString object;
    QString interface;
    QString method;
    bool required = true; // a step that may fail is logged, and the rest goes on
};

DriveEjector::DriveEjector(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{}

void DriveEjector::removableVolumeOf(const QString& path, Found found)
{
    if (!m_bus.isConnected()) {
        QMetaObject::invokeMethod(
            this, [found = std::move(found)] { found(std::nullopt); }, Qt::QueuedConnection);
        return;
    }
    fetchDisks(m_bus, this,
               [path, found = std::move(found)](std::expected<Disks, QDBusError> disks) {
                   if (!disks) {
                       logDetail(volumesLog(), "UDisks2 didn't list the volumes",
                                 (disks.error().name() + u' ' + disks.error().message())
                                     .toStdString());
                       found(std::nullopt);
                       return;
                   }
                   const Block* holder = nullptr;
                   QString mountPoint;
                   for (const Block& block : disks->blocks)
                       for (const QString& point : block.mountPoints)
                           if (lies(path, point) && point.size() > mountPoint.size()) {
                               holder = &block;
                               mountPoint = point;
                           }
                   // A mount UDisks2 doesn't manage may sit deeper, over the volume it found.
                   if (!holder || !sameDevice(path, mountPoint)) {
                       found(std::nullopt);
                       return;
                   }
                   const QString drive = disks->driveOf(*holder);
                   if (drive.isEmpty() || !isRemovableDrive(disks->drives.value(drive)) ||
                       holdsTheSystem(*disks, drive)) {
                       found(std::nullopt);
                       return;
                   }
                   const QString label = !holder->label.isEmpty()
                                             ? holder->label
                                             : QFileInfo(mountPoint).fileName();
                   found(RemovableVolume{mountPoint, label});
               });
}

void DriveEjector::eject(const QString& mountPoint, Done done)
{
    if (!m_bus.isConnected()) {
        QMetaObject::invokeMethod(
            this,
            [done = std::move(done)] {
                done(std::unexpected(EjectError{EjectError::Case::noUDisks, "no system bus"}));
            },
            Qt::QueuedConnection);
        return;
    }
    fetchDisks(m_bus, this,
               [this, mountPoint,
                done = std::move(done)](std::expected<Disks, QDBusError> disks) mutable {
                   if (!disks) {
                       done(std::unexpected(errorOf(disks.error())));
                       return;
                   }
                   const Block* volume = disks->mountedAt(mountPoint);
                   if (!volume) {
                       done(std::unexpected(EjectError{EjectError::Case::notMounted, {}}));
                       return;
                   }
                   const QString drive = disks->driveOf(*volume);
                   std::vector<Step> steps{{volume->path, filesystemInterface,
                                            QStringLiteral("Unmount")}};
                   if (drive.isEmpty()) {
                       run(std::move(steps), 0, std::move(done));
                       return;
                   }
                   // Pulling the drive ends every volume on it, not only the one sent to.
                   const std::vector<const Block*> onDrive = disks->blocksOf(drive);
                   for (const Block* block : onDrive)
                       if (block != volume && !block->mountPoints.isEmpty())
                           steps.push_back(
                               {block->path, filesystemInterface, QStringLiteral("Unmount")});
                   for (const Block* block : onDrive)
                       if (block->encrypted && disks->holdsUnlockedVolume(*block))
                           steps.push_back(
                               {block->path, encryptedInterface, QStringLiteral("Lock")});
                   const QVariantMap properties = disks->drives.value(drive);
                   if (properties.value(QStringLiteral("CanPowerOff")).toBool())
                       steps.push_back({drive, driveInterface, QStringLiteral("PowerOff"), false});
                   else if (properties.value(QStringLiteral("Ejectable")).toBool())
                       steps.push_back({drive, driveInterface, QStringLiteral("Eject"), false});
                   run(std::move(steps), 0, std::move(done));
               });
}

void DriveEjector::run(std::vector<Step> steps, std::size_t next, Done done)
{
    if (next == steps.size()) {
        done({});
        return;
    }
    const Step step = steps[next];
    QDBusMessage message =
        QDBusMessage::createMethodCall(service, step.object, step.interface, step.method);
    message << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, stepTimeout), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, steps = std::move(steps), next, step,
             done = std::move(done)](QDBusPendingCallWatcher* finished) mutable {
                finished->deleteLater();
                if (finished->isError()) {
                    const QDBusError error = finished->error();
                    // Someone else unmounted it meanwhile: that is what we wanted.
                    const bool alreadyDone =
                        error.name() == QLatin1StringView("org.freedesktop.UDisks2.Error.NotMounted");
                    if (step.required && !alreadyDone) {
                        done(std::unexpected(errorOf(error)));
                        return;
                    }
                    if (!alreadyDone)
                        logError(volumesLog(),
                                 "Unmounted the drive's volumes but couldn't " +
                                     step.method.toStdString() + " it",
                                 errorOf(error));
                }
                run(std::move(steps), next + 1, std::move(done));
            });
}

} // namespace ambrevoli
