#include "first_launch_guide.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace ambrevoli {

FirstLaunchGuide::FirstLaunchGuide(SetupStatus&, DestinationsModel&, std::function<void()> finish,
                                   QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Set Up Ambrevoli"), this));
    auto* done = new QPushButton(QStringLiteral("Done"), this);
    done->setDefault(true);
    connect(done, &QPushButton::clicked, this, [finish = std::move(finish)] {
        if (finish)
            finish();
    });
    layout->addWidget(done, 0, Qt::AlignRight);
}

} // namespace ambrevoli
