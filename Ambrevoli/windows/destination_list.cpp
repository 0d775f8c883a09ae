#include "destination_list.h"

#include "appearance.h"
#include "destination_row.h"
#include "destinations_model.h"
#include "local_paths.h"
#include "qt_translation.h"
#include "wording.h"

#include <QApplication>
#include <QDrag>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>

#include <unistd.h>

#include <algorithm>

namespace ambrevoli {

namespace {

const QString rowsMimeType = QStringLiteral("application/x-ambrevoli-destination-ids");

// Around the rows, so a selected row's rounded highlight doesn't touch the list's edges.
constexpr int listMargin = 6;
constexpr int dropIndicatorHeight = 2;
constexpr int placeholderSymbolSide = 48;
constexpr int placeholderMargin = 60;
// How close to the top or bottom edge a drag scrolls the list, and by how much per move.
constexpr int autoScrollMargin = 24;
constexpr int autoScrollStep = 12;

// The identifiers a drag of rows carries, when it started in this process.
std::optional<std::vector<Uuid>> draggedRows(const QMimeData* data)
{
    if (!data || !data->hasFormat(rowsMimeType))
        return std::nullopt;
    const QList<QByteArray> lines = data->data(rowsMimeType).split('\n');
    if (lines.isEmpty() || lines.front().toLongLong() != ::getpid())
        return std::nullopt;
    std::vector<Uuid> ids;
    for (qsizetype i = 1; i < lines.size(); ++i)
        if (auto id = Uuid::parse(lines[i].toStdString()))
            ids.push_back(*id);
    return ids;
}

// Whether a drag carries folders that may be added: asked on every move, so it asks nothing of
// the desktop.
bool carriesFolders(const QMimeData* data)
{
    return data && data->hasUrls() && std::ranges::any_of(data->urls(), mayHaveLocalPath);
}

std::vector<std::string> localPaths(const QMimeData* data)
{
    std::vector<std::string> paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (auto path = localPathOf(url))
            paths.push_back(std::move(*path));
    return paths;
}

QWidget* makePlaceholder(QWidget* parent)
{
    auto* placeholder = new QWidget(parent);
    // Clicks and drops go through to the list beneath.
    placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);

    auto* symbol = new QLabel(placeholder);
    const qreal ratio = placeholder->devicePixelRatioF();
    QPixmap image(QSize(placeholderSymbolSide, placeholderSymbolSide) * ratio);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setOpacity(0.55);
        symbolIcon(Symbol::folderBadgePlus)
            .paint(&painter, QRect(0, 0, placeholderSymbolSide, placeholderSymbolSide));
    }
    symbol->setPixmap(image);
    symbol->setAlignment(Qt::AlignCenter);

    auto* title = new QLabel(
        // TRANSLATORS: the title of the settings window's empty list of destination folders.
        uiText("No Destinations"), placeholder);
    QFont titleFont = textStyleFont(*title, TextStyle::title2);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);

    auto* description =
        new QLabel(QString::fromUtf8(wording(Phrase::noDestinationsHint)), placeholder);
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignCenter);
    setTextColor(*description, secondaryColor(*description));

    auto* layout = new QVBoxLayout(placeholder);
    layout->setContentsMargins(placeholderMargin, 0, placeholderMargin, 0);
    layout->setSpacing(8);
    layout->addStretch(1);
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    layout->addSpacing(4);
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(description);
    layout->addStretch(1);
    return placeholder;
}

} // namespace

DestinationList::DestinationList(DestinationsModel& model, QWidget* parent)
    : QScrollArea(parent), m_model(model)
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    // TRANSLATORS: the name a screen reader gives the settings window's list of folders.
    setAccessibleName(uiText("Destinations"));
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);

    m_rowsArea = new QWidget;
    m_rowsArea->setAutoFillBackground(false);
    auto* layout = new QVBoxLayout(m_rowsArea);
    layout->setContentsMargins(listMargin, listMargin, listMargin, listMargin);
    layout->setSpacing(0);
    layout->addStretch(1);
    setWidget(m_rowsArea);

    m_dropIndicator = new QWidget(m_rowsArea);
    m_dropIndicator->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_dropIndicator->setAutoFillBackground(true);
    m_dropIndicator->setBackgroundRole(QPalette::Highlight);
    m_dropIndicator->hide();

    m_placeholder = makePlaceholder(viewport());

    connect(qApp, &QApplication::focusChanged, this, &DestinationList::updateHighlight);
    reload();
}

DestinationList::~DestinationList()
{
    // ~QWidget deletes the rows later, moving the focus while this list is no longer one.
    disconnect(qApp, &QApplication::focusChanged, this, &DestinationList::updateHighlight);
}

void DestinationList::reload()
{
    const auto& destinations = m_model.destinations();
    const auto& missing = m_model.missingIDs();

    std::unordered_map<Uuid, DestinationRow*> kept;
    std::vector<DestinationRow*> order;
    order.reserve(destinations.size());
    for (const Destination& destination : destinations) {
        DestinationRow* row = nullptr;
        if (auto found = m_rows.find(destination.id()); found != m_rows.end()) {
            row = found->second;
            m_rows.erase(found);
        } else {
            row = new DestinationRow(m_model, destination.id(), m_rowsArea);
            connect(row, &DestinationRow::editingBegan, this, [this, id = destination.id()] {
                if (!m_selection.isSelected(id))
                    selectOnly(id);
            });
        }
        row->setPath(QString::fromStdString(destination.path()));
        row->setMissing(missing.contains(destination.id()));
        row->takeUpLabel();
        kept.emplace(destination.id(), row);
        order.push_back(row);
    }

    // What is left in m_rows was removed from the list.
    for (auto& [id, row] : m_rows) {
        if (row->isAncestorOf(QApplication::focusWidget()))
            setFocus(Qt::OtherFocusReason);
        row->hide();
        row->deleteLater();
    }
    m_rows = std::move(kept);

    auto* layout = static_cast<QVBoxLayout*>(m_rowsArea->layout());
    if (order != m_order) {
        for (DestinationRow* row : m_order)
            layout->removeWidget(row);
        for (std::size_t i = 0; i < order.size(); ++i)
            layout->insertWidget(static_cast<int>(i), order[i]);
        for (DestinationRow* row : order)
            row->show();
        m_order = std::move(order);
    }
    m_placeholder->setVisible(m_order.empty());

    std::vector<Uuid> ids;
    ids.reserve(m_order.size());
    for (const DestinationRow* row : m_order)
        ids.push_back(row->id());
    selectionEdited(m_selection.setRows(std::move(ids)));
}

std::vector<Uuid> DestinationList::selection() const { return m_selection.selected(); }

void DestinationList::setSelection(const std::vector<Uuid>& ids)
{
    selectionEdited(m_selection.select(ids));
    if (!ids.empty())
        scrollTo(ids.back());
}

void DestinationList::endEditing()
{
    for (DestinationRow* row : m_order)
        row->endEditing();
}

QMimeData* DestinationList::rowsMimeData(const std::vector<Uuid>& ids)
{
    QByteArray payload = QByteArray::number(static_cast<qlonglong>(::getpid()));
    for (const Uuid& id : ids)
        payload += '\n' + QByteArray::fromStdString(id.text());
    auto* data = new QMimeData;
    data->setData(rowsMimeType, payload);
    return data;
}

DestinationRow* DestinationList::rowAt(QPoint viewportPos) const
{
    const QPoint point = m_rowsArea->mapFrom(viewport(), viewportPos);
    for (DestinationRow* row : m_order)
        if (row->geometry().contains(point))
            return row;
    return nullptr;
}

void DestinationList::selectionEdited(bool changed)
{
    updateHighlight();
    if (changed)
        emit selectionChanged();
}

void DestinationList::scrollTo(const std::optional<Uuid>& id)
{
    if (id && m_rows.contains(*id))
        ensureWidgetVisible(m_rows.at(*id), 0, 0);
}

void DestinationList::updateHighlight()
{
    const QWidget* focus = QApplication::focusWidget();
    const bool emphasized =
        focus && (focus == this || isAncestorOf(focus)) && window()->isActiveWindow();
    for (DestinationRow* row : m_order)
        row->setSelected(m_selection.isSelected(row->id()), emphasized);
}

void DestinationList::selectOnly(const Uuid& id)
{
    selectionEdited(m_selection.selectOnly(id));
    scrollTo(id);
}

void DestinationList::moveCurrent(RowSelection::Step step, bool extend)
{
    selectionEdited(m_selection.move(step, extend));
    scrollTo(m_selection.current());
}

void DestinationList::selectAll() { selectionEdited(m_selection.selectAll()); }

void DestinationList::deleteSelection() { emit deleteRequested(); }

void DestinationList::keyPressEvent(QKeyEvent* event)
{
    // Keys a name field leaves unused (Return, the arrows) arrive here too; they stay with the
    // field, or Return would start the edit over and the arrows move the selection away from it.
    if (QWidget* focus = QApplication::focusWidget();
        focus && focus != this && isAncestorOf(focus)) {
        event->accept();
        return;
    }
    // Alt+arrows belong to Move Up and Move Down; while those are disabled they do nothing here
    // either.
    if (event->modifiers() & Qt::AltModifier) {
        event->ignore();
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    // Delete only: Backspace right after leaving a name field must not remove rows.
    case Qt::Key_Delete: emit deleteRequested(); return;
    case Qt::Key_Up: moveCurrent(RowSelection::Step::up, extend); return;
    case Qt::Key_Down: moveCurrent(RowSelection::Step::down, extend); return;
    case Qt::Key_Home: moveCurrent(RowSelection::Step::first, extend); return;
    case Qt::Key_End: moveCurrent(RowSelection::Step::last, extend); return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F2:
        if (m_selection.count() == 1)
            m_rows.at(m_selection.selected().front())->beginEditing();
        return;
    default: break;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    QScrollArea::keyPressEvent(event);
}

void DestinationList::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    m_pressed.reset();
    m_selectOnRelease = false;
    if (event->button() != Qt::LeftButton)
        return;

    DestinationRow* row = rowAt(event->position().toPoint());
    if (!row) {
        if (!(event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)))
            selectionEdited(m_selection.clear());
        return;
    }
    const Uuid id = row->id();
    m_pressed = id;
    m_pressPos = event->position().toPoint();

    if (event->modifiers() & Qt::ControlModifier) {
        selectionEdited(m_selection.toggle(id));
    } else if ((event->modifiers() & Qt::ShiftModifier) && m_selection.anchor()) {
        selectionEdited(m_selection.extendTo(id));
    } else if (m_selection.isSelected(id)) {
        m_selectOnRelease = true;
    } else {
        selectOnly(id);
    }
}

void DestinationList::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_pressed || !(event->buttons() & Qt::LeftButton))
        return;
    if ((event->position().toPoint() - m_pressPos).manhattanLength() <
        QApplication::startDragDistance())
        return;
    startDrag();
}

void DestinationList::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_selectOnRelease && m_pressed && event->button() == Qt::LeftButton &&
        m_rows.contains(*m_pressed))
        selectOnly(*m_pressed);
    m_pressed.reset();
    m_selectOnRelease = false;
}

void DestinationList::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (DestinationRow* row = rowAt(event->position().toPoint()))
        row->beginEditing();
}

void DestinationList::startDrag()
{
    const Uuid pressed = *m_pressed;
    m_pressed.reset();
    m_selectOnRelease = false;
    if (!m_rows.contains(pressed))
        return;

    const std::vector<Uuid> ids =
        m_selection.isSelected(pressed) ? selection() : std::vector<Uuid>{pressed};
    DestinationRow* row = m_rows.at(pressed);

    auto* drag = new QDrag(this);
    drag->setMimeData(rowsMimeData(ids));
    drag->setPixmap(row->grab());
    drag->setHotSpot(m_rowsArea->mapFrom(viewport(), m_pressPos) - row->pos());
    drag->exec(Qt::MoveAction);
}

DestinationList::DropKind DestinationList::acceptDrag(QDropEvent* event) const
{
    if (draggedRows(event->mimeData())) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
        return DropKind::rows;
    }
    if (carriesFolders(event->mimeData())) {
        // The folders stay where they are: a move would let the file manager delete them.
        const Qt::DropActions offered = event->possibleActions();
        if (offered & Qt::CopyAction)
            event->setDropAction(Qt::CopyAction);
        else if (offered & Qt::LinkAction)
            event->setDropAction(Qt::LinkAction);
        else {
            event->ignore();
            return DropKind::none;
        }
        event->accept();
        return DropKind::folders;
    }
    event->ignore();
    return DropKind::none;
}

std::optional<Uuid> DestinationList::dropTarget(QPoint viewportPos) const
{
    const int y = m_rowsArea->mapFrom(viewport(), viewportPos).y();
    for (const DestinationRow* row : m_order)
        if (y < row->geometry().center().y())
            return row->id();
    return std::nullopt;
}

void DestinationList::showDropIndicator(QPoint viewportPos)
{
    if (m_order.empty()) {
        m_dropIndicator->hide();
        return;
    }
    const auto target = dropTarget(viewportPos);
    const int y =
        target ? m_rows.at(*target)->geometry().top() : m_order.back()->geometry().bottom() + 1;
    m_dropIndicator->setGeometry(listMargin, y - dropIndicatorHeight / 2,
                                 m_rowsArea->width() - 2 * listMargin, dropIndicatorHeight);
    m_dropIndicator->raise();
    m_dropIndicator->show();
}

void DestinationList::dragEnterEvent(QDragEnterEvent* event)
{
    if (acceptDrag(event) != DropKind::none)
        showDropIndicator(event->position().toPoint());
}

void DestinationList::dragMoveEvent(QDragMoveEvent* event)
{
    if (acceptDrag(event) == DropKind::none) {
        m_dropIndicator->hide();
        return;
    }
    const int y = event->position().toPoint().y();
    if (y < autoScrollMargin)
        verticalScrollBar()->setValue(verticalScrollBar()->value() - autoScrollStep);
    else if (y > viewport()->height() - autoScrollMargin)
        verticalScrollBar()->setValue(verticalScrollBar()->value() + autoScrollStep);
    showDropIndicator(event->position().toPoint());
}

void DestinationList::dragLeaveEvent(QDragLeaveEvent*) { m_dropIndicator->hide(); }

void DestinationList::dropEvent(QDropEvent* event)
{
    m_dropIndicator->hide();
    const DropKind kind = acceptDrag(event);
    if (kind == DropKind::none)
        return;
    const auto target = dropTarget(event->position().toPoint());

    if (kind == DropKind::rows) {
        m_model.move(*draggedRows(event->mimeData()), target);
        return;
    }
    const std::vector<Uuid> ids = m_model.addFolders(localPaths(event->mimeData()));
    if (target)
        m_model.move(ids, target);
    setSelection(ids);
}

void DestinationList::resizeEvent(QResizeEvent* event)
{
    QScrollArea::resizeEvent(event);
    m_placeholder->setGeometry(viewport()->rect());
}

bool DestinationList::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::Resize)
        m_placeholder->setGeometry(viewport()->rect());
    return QScrollArea::viewportEvent(event);
}

} // namespace ambrevoli
