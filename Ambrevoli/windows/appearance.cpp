#include "appearance.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
#include <QWidget>

#include <algorithm>

namespace ambrevoli {

namespace {

// Text styles as proportions of the body size, the way the platform scale defines them
// (title-2 17, callout 12 and caption 10 against a body of 13), with caption held a little
// larger since the desktop's body fonts are smaller than that scale's.
constexpr double title2Scale = 17.0 / 13.0;
constexpr double calloutScale = 12.0 / 13.0;
constexpr double captionScale = 11.0 / 13.0;
constexpr double smallestPointSize = 7.5;

QIcon themed(const char* name)
{
    return QIcon::fromTheme(QString::fromLatin1(name),
                            QIcon(QStringLiteral(":/ambrevoli/symbols/%1.svg").arg(name)));
}

// An icon drawn in code: every pixmap is painted afresh at the size asked for, over a
// transparent ground.
class PaintedIconEngine : public QIconEngine {
public:
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap result(size);
        result.fill(Qt::transparent);
        QPainter painter(&result);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return result;
    }
};

// A folder that can't be found: the folder faded, with an orange badge holding a "?" at its
// lower right, drawn at every size the row asks for.
class MissingFolderEngine : public PaintedIconEngine {
public:
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setOpacity(0.45);
        themed("folder").paint(painter, rect, Qt::AlignCenter, mode, state);
        painter->setOpacity(1.0);

        const int side = std::max(8, rect.width() * 11 / 20);
        const QRectF badge(rect.right() + 1 - side, rect.bottom() + 1 - side, side, side);
        painter->setPen(Qt::NoPen);
        painter->setBrush(namedOrange());
        painter->drawEllipse(badge);

        QFont font = QApplication::font();
        font.setBold(true);
        font.setPixelSize(std::max(6, side * 3 / 4));
        painter->setFont(font);
        painter->setPen(Qt::white);
        painter->drawText(badge, Qt::AlignCenter, QStringLiteral("?"));
        painter->restore();
    }

    QIconEngine* clone() const override { return new MissingFolderEngine; }
};

class NumberedCircleEngine : public PaintedIconEngine {
public:
    NumberedCircleEngine(int number, QColor color) : m_number(number), m_color(color) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override
    {
        const qreal side = std::min(rect.width(), rect.height());
        const qreal stroke = std::max(1.0, side / 14);
        const QRectF circle = QRectF(0, 0, side - stroke, side - stroke)
                                  .translated(QRectF(rect).center() -
                                              QPointF((side - stroke) / 2, (side - stroke) / 2));
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(m_color, stroke));
        painter->setBrush(Qt::NoBrush);
        painter->drawEllipse(circle);

        QFont font = QApplication::font();
        font.setPixelSize(std::max(6, qRound(side * 0.58)));
        font.setWeight(QFont::DemiBold);
        painter->setFont(font);
        painter->drawText(circle, Qt::AlignCenter, QString::number(m_number));
        painter->restore();
    }

    QIconEngine* clone() const override { return new NumberedCircleEngine(m_number, m_color); }

private:
    int m_number;
    QColor m_color;
};

} // namespace

QColor namedOrange() { return QColor(0xe6, 0x61, 0x00); }
QColor namedRed() { return QColor(0xc0, 0x1c, 0x28); }

QColor secondaryColor(const QWidget& widget)
{
    return widget.palette().color(QPalette::PlaceholderText);
}

void setTextColor(QWidget& widget, const QColor& color)
{
    // A label takes its text colour from Text rather than WindowText when it sits on a list.
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

QFont textStyleFont(const QWidget& widget, TextStyle style)
{
    QFont font = widget.font();
    const double body = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    switch (style) {
    case TextStyle::title2: font.setPointSizeF(body * title2Scale); break;
    case TextStyle::headline: font.setBold(true); break;
    case TextStyle::callout:
        font.setPointSizeF(std::max(smallestPointSize, body * calloutScale));
        break;
    case TextStyle::caption:
        font.setPointSizeF(std::max(smallestPointSize, body * captionScale));
        break;
    }
    return font;
}

QIcon symbolIcon(Symbol symbol)
{
    switch (symbol) {
    case Symbol::plus: return themed("list-add");
    case Symbol::minus: return themed("list-remove");
    case Symbol::chevronUp: return themed("go-up");
    case Symbol::chevronDown: return themed("go-down");
    case Symbol::folder: return themed("folder");
    case Symbol::questionmarkFolder: return QIcon(new MissingFolderEngine);
    case Symbol::bellSlash: return themed("notifications-disabled");
    case Symbol::exclamationmarkTriangle: return themed("dialog-warning");
    case Symbol::folderBadgePlus: return themed("folder-new");
    case Symbol::checkmarkCircleFill: return themed("emblem-ok");
    }
    return {};
}

QIcon numberedCircleIcon(int number, const QColor& color)
{
    return QIcon(new NumberedCircleEngine(number, color));
}

} // namespace ambrevoli
