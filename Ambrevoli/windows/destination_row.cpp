#include "destination_row.h"

#include "appearance.h"
#include "destinations_model.h"
#include "network_shares.h"
#include "qt_translation.h"

#include <QEvent>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QSpacerItem>
#include <QVBoxLayout>

#include <algorithm>

namespace ambrevoli {

namespace {

// Spacing between the row's three parts, and above and below them.
constexpr int partSpacing = 10;
constexpr int rowInset = 2;
// The cell's own padding inside the list, around the row's parts.
constexpr int cellPaddingX = 8;
constexpr int cellPaddingY = 4;
constexpr int columnSpacing = 2;
// QLineEdit's inner margin before its text, when it has no frame.
constexpr int fieldTextMargin = 2;
constexpr qreal cornerRadius = 6;

QString missingHelp()
{
    // TRANSLATORS: the tooltip of a destination whose folder is missing.
    return uiText("Ambrevoli can't find this folder, so it's off in the Send To menu.");
}

// A path on one line, shortened in the middle when the row is too narrow: both the start (where
// the folder lives) and the end (its name) stay readable. Screen readers get the whole path.
class MiddleElidedLabel : public QLabel {
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override
    {
        return {fontMetrics().averageCharWidth() * 8, QLabel::minimumSizeHint().height()};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        const QRect area = contentsRect();
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    }
};

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(alpha);
    return color;
}

} // namespace

DestinationRow::DestinationRow(DestinationsModel& model, const Uuid& id, QWidget* parent)
    : QWidget(parent), m_model(model), m_id(id)
{
    const int symbolSide =
        std::max(22, QFontMetrics(textStyleFont(*this, TextStyle::title2)).height() + 4);
    // The symbol is painted, not a child widget: it says nothing a screen reader should read.
    m_symbolSpace = new QSpacerItem(symbolSide, symbolSide, QSizePolicy::Fixed, QSizePolicy::Fixed);

    m_field = new QLineEdit(this);
    m_field->setFrame(false);
    // TRANSLATORS: the field with a destination's name in the Send To menu.
    m_field->setPlaceholderText(uiText("Name"));
    m_field->setAccessibleName(uiText("Name"));
    // Drops on the row add folders to the list; they must not land as text in the field.
    m_field->setAcceptDrops(false);
    m_field->setText(modelLabel());
    m_field->setCursorPosition(0);
    m_field->installEventFilter(this);
    connect(m_field, &QLineEdit::textEdited, this, &DestinationRow::draftEdited);
    connect(m_field, &QLineEdit::returnPressed, this, &DestinationRow::returnPressed);

    m_path = new MiddleElidedLabel(this);
    m_path->setFont(textStyleFont(*this, TextStyle::caption));
    m_path->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Lines the path up with the name, which the field insets by its text margin.
    m_path->setContentsMargins(fieldTextMargin, 0, 0, 0);

    m_missingCaption = new QLabel(
        // TRANSLATORS: the caption of a destination whose folder is missing.
        uiText("Missing"), this);
    QFont missingFont = textStyleFont(*this, TextStyle::caption);
    missingFont.setBold(true);
    m_missingCaption->setFont(missingFont);
    m_missingCaption->setToolTip(missingHelp());
    m_missingCaption->setAccessibleDescription(missingHelp());
    m_missingCaption->hide();

    auto* column = new QVBoxLayout;
    column->setSpacing(columnSpacing);
    column->addWidget(m_field);
    column->addWidget(m_path);

    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(cellPaddingX, cellPaddingY + rowInset, cellPaddingX,
                             cellPaddingY + rowInset);
    line->setSpacing(partSpacing);
    line->addSpacerItem(m_symbolSpace);
    line->addLayout(column, 1);
    line->addWidget(m_missingCaption, 0, Qt::AlignVCenter);

    setAccessibleName(m_field->text());
    updateColors();
}

DestinationRow::~DestinationRow()
{
    // The field outlives this part of the row; its last focus-out must not reach it.
    m_field->removeEventFilter(this);
}

QString DestinationRow::modelLabel() const { return QString::fromStdString(m_model.label(m_id)); }

void DestinationRow::setPath(const QString& path)
{
    if (m_path->text() == path)
        return;
    m_path->setText(path);
    m_path->setToolTip(path);
    setAccessibleDescription(path);
}

void DestinationRow::setMissing(bool missing)
{
    // A folder on a network share that is not mounted is the one the user can bring back at once,
    // by connecting to the share in the file manager: the caption names it.
    const auto share = missing ? unmountedShareName(m_path->text().toStdString()) : std::nullopt;
    const QString shareName = share ? QString::fromStdString(*share) : QString();
    const QString caption =
        // TRANSLATORS: the caption of a destination on a network share that is not mounted; %1 is
        // the share's name ("photos on nas", or a server's name).
        share ? uiText("Missing: %1 isn't connected").arg(shareName) : uiText("Missing");
    const QString help =
        // TRANSLATORS: the tooltip of a destination on a network share that is not mounted; %1 is
        // the share's name.
        share ? uiText("The share \u201c%1\u201d isn't connected, so this folder is off in the Send "
                       "To menu. Connect to it in the file manager to turn it back on.")
                    .arg(shareName)
              : missingHelp();
    if (m_missing == missing && m_missingCaption->text() == caption)
        return;
    m_missing = missing;
    m_missingCaption->setText(caption);
    m_missingCaption->setToolTip(help);
    m_missingCaption->setAccessibleDescription(help);
    m_missingCaption->setVisible(missing);
    update();
}

void DestinationRow::takeUpLabel()
{
    const QString label = modelLabel();
    if (accessibleName() != label)
        setAccessibleName(label);
    if (!m_editing && m_field->text() != label) {
        m_field->setText(label);
        m_field->setCursorPosition(0);
    }
}

void DestinationRow::setSelected(bool selected, bool emphasized)
{
    if (m_selected == selected && m_emphasized == emphasized)
        return;
    m_selected = selected;
    m_emphasized = emphasized;
    updateColors();
    update();
}

void DestinationRow::beginEditing()
{
    m_field->setFocus(Qt::OtherFocusReason);
    m_field->selectAll();
}

void DestinationRow::endEditing()
{
    if (!m_editing)
        return;
    finishEditing();
    if (m_field->hasFocus())
        m_field->clearFocus();
}

void DestinationRow::draftEdited(const QString& draft)
{
    const std::string typed = draft.toStdString();
    m_model.rename(m_id, m_rename ? m_rename->label(typed) : typed);
}

void DestinationRow::returnPressed()
{
    const QString label = modelLabel();
    m_rename = LabelDraft{label.toStdString()};
    m_field->setText(label);
}

void DestinationRow::finishEditing()
{
    m_editing = false;
    m_rename.reset();
    m_field->setText(modelLabel());
    m_field->setCursorPosition(0);
    updateColors();
    update();
}

bool DestinationRow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_field) {
        if (event->type() == QEvent::FocusIn && !m_editing) {
            m_editing = true;
            m_rename = LabelDraft{modelLabel().toStdString()};
            updateColors();
            update();
            emit editingBegan();
        } else if (event->type() == QEvent::FocusOut && m_editing) {
            // A context menu, or the user switching to another window, leaves the edit open
            // where it was; anything else ends it.
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
                finishEditing();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void DestinationRow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        updateColors();
    QWidget::changeEvent(event);
}

void DestinationRow::updateColors()
{
    const QPalette base = parentWidget() ? parentWidget()->palette() : palette();
    const bool inverted = m_selected && m_emphasized && !m_editing;
    const QColor text =
        inverted ? base.color(QPalette::HighlightedText) : base.color(QPalette::Text);
    const QColor secondary =
        inverted ? withAlpha(text, 0.8) : base.color(QPalette::PlaceholderText);

    QPalette field = m_field->palette();
    // Borderless: the row shows through, except while editing, when the field looks like one.
    field.setColor(QPalette::Base,
                   m_editing ? base.color(QPalette::Base) : QColor(Qt::transparent));
    field.setColor(QPalette::Text, m_editing ? base.color(QPalette::Text) : text);
    m_field->setPalette(field);

    setTextColor(*m_path, secondary);
    setTextColor(*m_missingCaption, inverted ? text : namedOrange());
}

void DestinationRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    if (m_selected) {
        // Pale while the name is edited, so the field's frame stands out.
        QColor fill = palette().color(QPalette::Active, QPalette::Highlight);
        if (!m_emphasized || m_editing)
            fill.setAlphaF(0.22);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
    }

    if (m_editing) {
        QPainterPath frame;
        frame.addRoundedRect(QRectF(m_field->geometry()).adjusted(-3, -1.5, 3, 1.5), 4, 4);
        painter.fillPath(frame, palette().color(QPalette::Base));
        painter.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), 1.5));
        painter.drawPath(frame);
    }

    const QRect symbolRect = m_symbolSpace->geometry();
    const QIcon symbol = symbolIcon(m_missing ? Symbol::questionmarkFolder : Symbol::folder);
    symbol.paint(&painter, symbolRect, Qt::AlignCenter);
}

} // namespace ambrevoli
