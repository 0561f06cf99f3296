#pragma once
// Version, links, system information and the update check.
#include "services/FormPage.h"

class QLabel;
class QPushButton;

namespace sendmere {

class frmAbout : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmAbout;
    static inline const QString HomePage = QStringLiteral("https://www.sendmere.org/");
    static inline const QString SupportAddress = QStringLiteral("support@sendmere.org");
    frmAbout();

    void Form_Load() override;
    void cmdOK_Click();
    void cmdSysInfo_Click();
    void cmdUpdate_Click();
    void LabelURL_Click();
    void LabelURL_DblClick();
    void lblSupport_Click();

    QLabel *Image1, *lblTitle, *lblVersion, *lblDescription, *Label2, *LabelURL, *Label1, *lblSupport;
    QPushButton *cmdOK, *cmdSysInfo, *cmdUpdate;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_releaseEndsDoubleClick = false;
};

// Finds and starts the system information tool, or says that there is none.
void StartSysInfo(QWidget *parent);

// Reads one registry value as text: strings unchanged, 32-bit numbers as decimal text.
bool GetKeyValue(quint32 root, const QString &keyName, const QString &valueName, QString &value);

}  // namespace sendmere
