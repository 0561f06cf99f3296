#include "wizard/WizardLayout.h"

#include "services/PageParts.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace sendmere::wizard {

QVBoxLayout *beginPage(QDialog *page, QLabel *caption, QLabel *explanation) {
    page->resize(PageSize);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(caption);
    if (explanation) {
        explanation->setWordWrap(true);
        explanation->setContentsMargins(12, 0, 0, 0);
        layout->addWidget(explanation);
    }
    layout->addWidget(parts::separator(page));
    return layout;
}

void endPage(QVBoxLayout *layout, const QList<QPushButton *> &buttons) {
    layout->addStretch();
    layout->addWidget(parts::separator(layout->parentWidget()));
    auto *row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton *button : buttons) row->addWidget(button);
    layout->addLayout(row);
}

}  // namespace sendmere::wizard
