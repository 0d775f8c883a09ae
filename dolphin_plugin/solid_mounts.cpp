#include "solid_mounts.h"

#include <KMountPoint>
#include <Solid/Device>
#include <Solid/StorageAccess>
#include <Solid/StorageDrive>

#include <QFile>
#include <QHash>

namespace ambrevoli {

namespace {

struct SolidView {
    QString description;
    bool removable = false;
};

bool onRemovableDrive(Solid::Device device)
{
    for (; device.isValid(); device = device.parent())
        if (const auto* drive = device.as<Solid::StorageDrive>())
            return drive->isRemovable() || drive->isHotpluggable();
    return false;
}

std::string localBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

} // namespace

std::vector<MountCandidate> solidMounts()
{
    QHash<QString, SolidView> known;
    const auto devices = Solid::Device::listFromType(Solid::DeviceInterface::StorageAccess);
    for (const Solid::Device& device : devices) {
        const auto* access = device.as<Solid::StorageAccess>();
        if (access && access->isAccessible())
            known.insert(access->filePath(), {device.description(), onRemovableDrive(device)});
    }

    std::vector<MountCandidate> candidates;
    const KMountPoint::List points = KMountPoint::currentMountPoints();
    for (const KMountPoint::Ptr& point : points) {
        MountCandidate candidate;
        candidate.root = localBytes(point->mountPoint());
        candidate.device = localBytes(point->mountedFrom());
        candidate.fsType = point->mountType().toStdString();
        if (const auto found = known.constFind(point->mountPoint()); found != known.constEnd()) {
            candidate.label = found->description.toStdString();
            candidate.removable = found->removable;
        }
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

} // namespace ambrevoli
