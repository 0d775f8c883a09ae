#pragma once

#include <QTextBrowser>

namespace ambrevoli {

// The release notes of a found update, shown from the feed's HTML without loading anything they
// name — no image, style sheet or page, neither a local file (a device would hang the program)
// nor an address on the network — since whoever is on the way to the update server may have
// written them. A link is opened in the browser, after a click or Enter on it, only when it is
// https; any other does nothing. Main thread only.
class ReleaseNotesView : public QTextBrowser {
    Q_OBJECT
public:
    explicit ReleaseNotesView(QWidget* parent = nullptr);
};

} // namespace ambrevoli
