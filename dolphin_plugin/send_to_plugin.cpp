#include "send_to_plugin.h"

#include "callback_guard.h"
#include "log.h"
#include "network_shares.h"
#include "send_to_menu.h"
#include "solid_mounts.h"

#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>

#include <QAction>
#include <QFile>
#include <QIcon>
#include <QMenu>

#include <memory>
#include <mutex>

namespace ambrevoli {

namespace {

QString text(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size()));
}

} // namespace

SendToPlugin::SendToPlugin(QObject* parent, const QVariantList&)
    : KAbstractFileItemActionPlugin(parent)
{
    // Dolphin makes a plugin object for every context menu; where the module runs from is worth
    // one line per process.
    static std::once_flag logged;
    guarded("loading the module", [] {
        std::call_once(logged, [] { logRunningLocation(AMBREVOLI_DOLPHIN_PLUGIN_DIR); });
    });
}

std::optional<std::vector<std::string>> localSelection(const KFileItemList& items)
{
    if (items.isEmpty())
        return std::nullopt;
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(items.size()));
    for (const KFileItem& item : items) {
        QUrl url = item.url();
        if (!url.isLocalFile()) {
            // KIO gives an item a local path where its worker has one (trash and desktop items
            // too, which are left out: what they list is not where the files are).
            const std::string scheme = url.scheme().toStdString();
            if (!isNetworkShareScheme(scheme))
                return std::nullopt;
            url = item.mostLocalUrl();
            if (!url.isLocalFile()) {
                logger("extension")
                    .log(LogLevel::standard, "No Send To for an item on a ", scheme,
                         " share: it has no local path (KIO gives none for it)");
                return std::nullopt;
            }
        }
        const QString path = url.toLocalFile();
        if (!path.startsWith(QLatin1Char('/')))
            return std::nullopt;
        paths.push_back(QFile::encodeName(path).toStdString());
    }
    return paths;
}

QString mnemonicSafeLabel(const std::string& label)
{
    QString shown = text(label);
    shown.replace(QLatin1Char('&'), QLatin1String("&&"));
    return shown;
}

QList<QAction*> SendToPlugin::actions(const KFileItemListProperties& fileItemInfos,
                                      QWidget* parentWidget)
{
    return guarded("building the Send To menu", QList<QAction*>(), [&] {
        const auto sources = localSelection(fileItemInfos.items());
        if (!sources)
            return QList<QAction*>();
        const SendToMenu menu = buildSendToMenu(solidMounts);

        // Built without a parent, so that nothing half-made stays behind in Dolphin's menu if
        // building fails; handed over as a whole at the end.
        auto submenu = std::make_unique<QMenu>();
        submenu->setTitle(text(sendToLabel()));
        auto shared = std::make_shared<const std::vector<std::string>>(std::move(*sources));
        for (const DestinationItem& destination : menu.destinations) {
            QAction* item = submenu->addAction(mnemonicSafeLabel(destination.label));
            item->setEnabled(destination.enabled);
            QObject::connect(item, &QAction::triggered, item,
                             [tag = destination.tag, id = destination.destinationID, shared] {
                                 guarded("sending to a destination",
                                         [&] { sendToDestination(tag, id, *shared); });
                             });
        }
        if (menu.showsNoDestinations())
            submenu->addAction(text(noDestinationsLabel()))->setEnabled(false);
        QAction* other = submenu->addAction(text(otherFolderLabel()));
        QObject::connect(other, &QAction::triggered, other, [shared] {
            guarded("sending to another folder", [&] { sendToOtherFolder(*shared); });
        });
        if (!menu.drives.empty())
            submenu->addSeparator();
        for (const DriveItem& drive : menu.drives) {
            QAction* item =
                submenu->addAction(QIcon::fromTheme(QStringLiteral("drive-removable-media")),
                                   mnemonicSafeLabel(drive.label));
            QObject::connect(
                item, &QAction::triggered, item, [tag = drive.tag, volume = drive.volume, shared] {
                    guarded("sending to a drive", [&] { sendToDrive(tag, volume, *shared); });
                });
        }
        submenu->addSeparator();
        QAction* edit = submenu->addAction(text(editDestinationsLabel()));
        QObject::connect(edit, &QAction::triggered, edit,
                         [] { guarded("opening the destinations", [] { editDestinations(); }); });

        QMenu* owned = submenu.release();
        if (parentWidget)
            owned->setParent(parentWidget, owned->windowFlags());
        else
            QObject::connect(this, &QObject::destroyed, owned, [owned] { delete owned; });
        return QList<QAction*>{owned->menuAction()};
    });
}

} // namespace ambrevoli

K_PLUGIN_FACTORY_WITH_JSON(AmbrevoliDolphinFactory, "ambrevoli-dolphin.json",
                           registerPlugin<ambrevoli::SendToPlugin>();)

#include "send_to_plugin.moc"
