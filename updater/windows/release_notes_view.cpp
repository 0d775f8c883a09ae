#include "release_notes_view.h"

#include <QDesktopServices>
#include <QImage>
#include <QTextDocument>

namespace ambrevoli {

namespace {

class SealedDocument : public QTextDocument {
public:
    using QTextDocument::QTextDocument;

protected:
    // Never the empty answer: on that the document goes looking for the file itself, and an
    // image that can't be made is then read from the path the notes give.
    QVariant loadResource(int type, const QUrl&) override
    {
        if (type == QTextDocument::ImageResource) {
            QImage nothing(1, 1, QImage::Format_ARGB32);
            nothing.fill(Qt::transparent);
            return nothing;
        }
        return QString();
    }
};

} // namespace

ReleaseNotesView::ReleaseNotesView(QWidget* parent) : QTextBrowser(parent)
{
    setDocument(new SealedDocument(this));
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, [](const QUrl& link) {
        if (link.scheme().compare(u"https", Qt::CaseInsensitive) == 0 && !link.host().isEmpty())
            QDesktopServices::openUrl(link);
    });
}

} // namespace ambrevoli
