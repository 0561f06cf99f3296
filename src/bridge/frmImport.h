#pragma once
// The import window: counts the fax service's faxes and makes them mail items. With 20
// faxes or more the user chooses all of them or the last day's; fewer go in at once. Every
// way out ends the program.
#include "services/FormPage.h"

#include <QDateTime>

class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace sendmere {

class frmImport : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmImport;
    // With this many faxes or more the window asks before it imports.
    static constexpr int ChoiceThreshold = 20;

    frmImport();  // Form_Initialize: the window stays above the others while it is shown

    void Form_Activate() override;
    bool worksWhileHidden() const override { return m_working; }
    void OKButton_Click();
    void CancelButton_Click();

    QLabel *Label1;
    QRadioButton *optAll, *optLast;
    QProgressBar *progress;
    QPushButton *OKButton, *CancelButton;

protected:
    // Escape and the window's close box end the program as Cancel does.
    void reject() override;
    void closeEvent(QCloseEvent *event) override;

private:
    void MakeWindowTopmost();
    void showMessage(const QString &text);

    QDateTime dtNewestFax;
    bool m_waitingForChoice = false;
    bool m_working = false;  // counting or importing, hidden, until the program ends
    bool m_leaving = false;  // a handler closes the window and ends the program itself
};

}  // namespace sendmere
