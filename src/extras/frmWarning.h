#pragma once
// Tells the user why the program cannot work here.
#include "services/FormPage.h"

class QLabel;
class QPushButton;

namespace sendmere {

class frmWarning : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmWarning;
    static inline const QString DefaultText = QStringLiteral(QT_TRANSLATE_NOOP(
        "sendmere::frmWarning",
        "Warning: This application work only with fax-modem. You fax not installed or not corret setup. "
        "Please reinstall your fax."));
    frmWarning();

    void cmdOK_Click();

    QLabel *lblText;
    QPushButton *cmdOK;
};

}  // namespace sendmere
