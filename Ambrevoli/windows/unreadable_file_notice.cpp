#include "unreadable_file_notice.h"

#include "appearance.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace ambrevoli {

namespace {

constexpr int symbolSide = 48;
constexpr int paragraphWidth = 340;

QLabel* paragraph(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setFixedWidth(paragraphWidth);
    label->setTextFormat(Qt::PlainText);
    return label;
}

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

} // namespace

UnreadableFileNotice::UnreadableFileNotice(QWidget* parent) : QWidget(parent)
{
    auto* symbol = new QLabel(this);
    symbol->setPixmap(symbolIcon(Symbol::exclamationmarkTriangle)
                          .pixmap(QSize(symbolSide, symbolSide), devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);

    auto* title = new QLabel(QStringLiteral("Ambrevoli Can't Read Its Destinations"), this);
    QFont titleFont = textStyleFont(*title, TextStyle::title2);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);

    m_explanation = paragraph(this);
    setTextColor(m_explanation, secondaryColor(*m_explanation));
    m_failure = paragraph(this);
    setTextColor(m_failure, namedRed());
    m_failure->hide();

    m_startFresh = new QPushButton(QStringLiteral("Start Fresh"), this);
    m_startFresh->setAccessibleName(QStringLiteral("Start Fresh"));
    connect(m_startFresh, &QPushButton::clicked, this, &UnreadableFileNotice::startFreshClicked);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(8);
    layout->addStretch(1);
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    layout->addSpacing(4);
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(m_explanation, 0, Qt::AlignHCenter);
    layout->addWidget(m_failure, 0, Qt::AlignHCenter);
    layout->addSpacing(8);
    layout->addWidget(m_startFresh, 0, Qt::AlignHCenter);
    layout->addStretch(1);

    setProblem(DestinationStoreError::unreadable());
}

QString UnreadableFileNotice::explanation(const DestinationStoreError& problem)
{
    const QString reason =
        problem.kind == DestinationStoreError::Case::unsupportedVersion
            ? QStringLiteral("The destinations file comes from a newer version of Ambrevoli.")
            : QStringLiteral("The destinations file is damaged or can't be opened.");
    return reason +
           QStringLiteral(" Start Fresh keeps the old file, renamed, and starts an empty list.");
}

void UnreadableFileNotice::setProblem(const DestinationStoreError& problem)
{
    m_explanation->setText(explanation(problem));
}

void UnreadableFileNotice::setFailure(const std::optional<std::string>& failure)
{
    m_failure->setText(failure ? QString::fromStdString(*failure) : QString());
    m_failure->setVisible(failure.has_value());
}

} // namespace ambrevoli
