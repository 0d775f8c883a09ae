#include "unreadable_file_notice.h"

#include "appearance.h"
#include "qt_translation.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace ambrevoli {

namespace {

constexpr int symbolSide = 48;
constexpr int columnWidth = 360;

QLabel* paragraph(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

UnreadableFileNotice::UnreadableFileNotice(QWidget* parent) : QWidget(parent)
{
    // One centred column of a readable width; the paragraphs wrap inside it.
    auto* column = new QWidget(this);
    column->setFixedWidth(columnWidth);

    auto* symbol = new QLabel(column);
    symbol->setPixmap(symbolIcon(Symbol::exclamationmarkTriangle)
                          .pixmap(QSize(symbolSide, symbolSide), devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);

    auto* title = new QLabel(uiText("Ambrevoli Can't Read Its Destinations"), column);
    QFont titleFont = textStyleFont(*title, TextStyle::title2);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);

    m_explanation = paragraph(column);
    setTextColor(*m_explanation, secondaryColor(*m_explanation));
    m_failure = paragraph(column);
    setTextColor(*m_failure, namedRed());
    m_failure->hide();

    // TRANSLATORS: a button; the explanation above it names it too.
    m_startFresh = new QPushButton(uiText("Start Fresh"), column);
    m_startFresh->setAccessibleName(m_startFresh->text());
    connect(m_startFresh, &QPushButton::clicked, this, &UnreadableFileNotice::startFreshClicked);

    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addStretch(1);
    layout->addWidget(symbol);
    layout->addSpacing(4);
    layout->addWidget(title);
    layout->addWidget(m_explanation);
    layout->addWidget(m_failure);
    layout->addSpacing(8);
    layout->addWidget(m_startFresh, 0, Qt::AlignHCenter);
    layout->addStretch(1);

    auto* centring = new QHBoxLayout(this);
    centring->setContentsMargins(20, 20, 20, 20);
    centring->addStretch(1);
    centring->addWidget(column);
    centring->addStretch(1);

    setProblem(DestinationStoreError::unreadable());
}

QString UnreadableFileNotice::explanation(const DestinationStoreError& problem)
{
    const QString reason =
        problem.kind == DestinationStoreError::Case::unsupportedVersion
            ? uiText("The destinations file comes from a newer version of Ambrevoli.")
            : uiText("The destinations file is damaged or can't be opened.");
    // TRANSLATORS: follows the sentence about what is wrong with the file; "Start Fresh" is the
    // button below, as translated.
    return reason + u' ' +
           uiText("Start Fresh keeps the old file, renamed, and starts an empty list.");
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
