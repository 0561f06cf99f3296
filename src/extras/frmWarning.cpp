#include "extras/frmWarning.h"

#include "services/PageParts.h"
#include "services/Translations.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace sendmere {

frmWarning::frmWarning() {
    setWindowTitle(tr("Quillpost - Warning"));
    auto *layout = new QVBoxLayout(this);
    lblText = parts::label(this, "lblText", translated("sendmere::frmWarning", DefaultText));
    lblText->setWordWrap(true);
    lblText->setMinimumWidth(360);
    layout->addWidget(lblText);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    cmdOK = parts::button(this, "cmdOK", tr("OK"));
    cmdOK->setDefault(true);
    buttons->addWidget(cmdOK);
    layout->addLayout(buttons);
    connect(cmdOK, &QPushButton::clicked, this, &frmWarning::cmdOK_Click);
}

void frmWarning::cmdOK_Click() { unload(); }

}  // namespace sendmere
