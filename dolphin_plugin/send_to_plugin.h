#pragma once

#include <KAbstractFileItemActionPlugin>

#include <QString>

#include <optional>
#include <string>
#include <vector>

class KFileItemList;

namespace ambrevoli {

// The Send To menu in Dolphin's context menu: a KIO file item action plugin, which Dolphin (KIO's
// KFileItemActions) instantiates from this module's metadata and asks for actions whenever the
// user right-clicks a selection.
//
// Dolphin calls actions() and delivers clicks on its main thread. A menu keeps nothing of this
// object: each item carries what its click needs (the destination's identifier, the selection's
// paths), so that a click sends exactly what the menu showed, even after the plugin object is
// gone. No function lets an exception out into Dolphin; failures are logged.
class SendToPlugin : public KAbstractFileItemActionPlugin {
    Q_OBJECT
public:
    // Logs, once per process, where the module runs from.
    SendToPlugin(QObject* parent, const QVariantList& args);

    // The one action "Send To", whose submenu has one item per destination of the destinations
    // file read afresh (disabled where the folder is missing), or the disabled "No
    // Destinations", then a separator and "Edit Destinations…". None unless every selected item
    // is a local file. The actions and their menu are children of `parentWidget`, or die with
    // this object when there is none.
    QList<QAction*> actions(const KFileItemListProperties& fileItemInfos,
                            QWidget* parentWidget) override;
};

// The absolute local paths of `items`, in their order; none when the list is empty or one of its
// items is not a local file ("file" scheme): the host could not copy from trash:/, desktop:/,
// remote or other virtual locations. Every local path lies under the root folder, which is always
// watched, so no mount has to be looked up.
std::optional<std::vector<std::string>> localSelection(const KFileItemList& items);

// `label` as a Qt menu shows it literally: Qt takes an ampersand as the mark of the next letter's
// shortcut, so a label's own ampersands are doubled.
QString mnemonicSafeLabel(const std::string& label);

} // namespace ambrevoli
