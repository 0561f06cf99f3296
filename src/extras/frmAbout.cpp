#include "extras/frmAbout.h"

#include "extras/frmUpdate.h"
#include "platform/shell/Shell.h"
#include "services/CWinReg.h"
#include "services/PageParts.h"
#include "session/mCommon.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QSvgRenderer>
#include <QPainter>
#include <QPointer>
#include <QVBoxLayout>
#include <utility>

namespace sendmere {
namespace {

QPixmap logo() {
    QSvgRenderer renderer(QStringLiteral(":/sendmere/logo.svg"));
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QLabel *link(QWidget *parent, const char *name, const QString &text) {
    QLabel *l = parts::label(parent, name, text);
    l->setCursor(Qt::PointingHandCursor);
    l->setStyleSheet(QStringLiteral("color: palette(link); text-decoration: underline;"));
    l->setFocusPolicy(Qt::StrongFocus);  // reachable by keyboard, activated with Enter
    l->setAccessibleDescription(frmAbout::tr("link"));
    return l;
}

}  // namespace

frmAbout::frmAbout() {
    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    Image1 = parts::label(this, "Image1", QString());
    Image1->setPixmap(logo());
    Image1->setAccessibleName(tr("Logo"));
    top->addWidget(Image1, 0, Qt::AlignTop);
    auto *texts = new QVBoxLayout;
    lblTitle = parts::heading(this, "lblTitle", QString());
    lblVersion = parts::label(this, "lblVersion", QString());
    lblDescription = parts::label(this, "lblDescription",
                                  tr("Sends faxes from your mail client through the fax service, "
                                                 "keeps your faxes in your mail folders, scans pages into "
                                                 "faxes and answers fax calls."));
    lblDescription->setWordWrap(true);
    texts->addWidget(lblTitle);
    texts->addWidget(lblVersion);
    texts->addWidget(lblDescription);
    auto *links = new QGridLayout;
    LabelURL = link(this, "LabelURL", HomePage);
    lblSupport = link(this, "lblSupport", SupportAddress);
    Label2 = parts::label(this, "Label2", tr("Home Page:"), LabelURL);
    Label1 = parts::label(this, "Label1", tr("For support:"), lblSupport);
    links->addWidget(Label2, 0, 0);
    links->addWidget(LabelURL, 0, 1);
    links->addWidget(Label1, 1, 0);
    links->addWidget(lblSupport, 1, 1);
    texts->addLayout(links);
    top->addLayout(texts, 1);
    layout->addLayout(top);
    layout->addWidget(parts::separator(this));
    auto *buttons = new QHBoxLayout;
    cmdUpdate = parts::button(this, "cmdUpdate", tr("Update"));
    cmdSysInfo = parts::button(this, "cmdSysInfo", tr("&System Info..."));
    cmdOK = parts::button(this, "cmdOK", tr("OK"));
    cmdOK->setDefault(true);
    buttons->addWidget(cmdUpdate);
    buttons->addStretch();
    buttons->addWidget(cmdSysInfo);
    buttons->addWidget(cmdOK);
    layout->addLayout(buttons);
    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);
    connect(cmdUpdate, &QPushButton::clicked, this, &frmAbout::cmdUpdate_Click);
    LabelURL->installEventFilter(this);
    lblSupport->installEventFilter(this);
}

void frmAbout::Form_Load() {
    setWindowTitle(tr("About Quillpost"));
    lblVersion->setText(tr("Version %1.%2").arg(SENDMERE_VERSION_MAJOR).arg(SENDMERE_VERSION_MINOR));
    lblTitle->setText(QStringLiteral("Quillpost"));
}

void frmAbout::cmdOK_Click() {
    unload();
    mCommon::ExitApplication(0);
}

void frmAbout::cmdSysInfo_Click() { StartSysInfo(this); }

// While the check waits for the server the button stays pressed in: a second click asks
// nothing more.
void frmAbout::cmdUpdate_Click() {
    const QPointer<frmAbout> self(this);
    cmdUpdate->setEnabled(false);
    frmUpdate::CheckForUpdate(this);
    if (self) cmdUpdate->setEnabled(true);
}

void frmAbout::LabelURL_Click() { shell::seams().launcher->open(HomePage); }

void frmAbout::LabelURL_DblClick() { LabelURL_Click(); }

void frmAbout::lblSupport_Click() {
    shell::seams().launcher->open(QStringLiteral("mailto:") + SupportAddress);
}

// A link answers Enter and the mouse as a label does: a click, then in a double click a
// second click event (the home page's double click handler) and no click for the release that
// ends it. The home page opens twice on a double click, the support mail once.
bool frmAbout::eventFilter(QObject *watched, QEvent *event) {
    if (watched != LabelURL && watched != lblSupport) return FormPage::eventFilter(watched, event);
    const bool enter = event->type() == QEvent::KeyPress && (static_cast<QKeyEvent *>(event)->key() == Qt::Key_Return ||
                                                            static_cast<QKeyEvent *>(event)->key() == Qt::Key_Enter);
    bool click = enter;
    if (event->type() == QEvent::MouseButtonRelease) click = !std::exchange(m_releaseEndsDoubleClick, false);
    if (event->type() == QEvent::MouseButtonDblClick) {
        m_releaseEndsDoubleClick = true;
        if (watched == LabelURL) LabelURL_DblClick();
    }
    if (click && watched == LabelURL) LabelURL_Click();
    if (click && watched == lblSupport) lblSupport_Click();
    if (enter) return true;  // the link's own Enter, not the box's OK
    return FormPage::eventFilter(watched, event);
}

void StartSysInfo(QWidget *parent) {
    CWinReg keys;
    QString path;
    if (GetKeyValue(keys.HKEY_LOCAL_MACHINE(), QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), path)) {
        shell::seams().launcher->start(path, {});
        return;
    }
    if (GetKeyValue(keys.HKEY_LOCAL_MACHINE(), QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                    QStringLiteral("MSINFO"), path) &&
        FileExists(path + QStringLiteral("/MSINFO32.EXE"))) {
        shell::seams().launcher->start(path + QStringLiteral("/MSINFO32.EXE"), {});
        return;
    }
    shell::seams().messageBox->show(parent, frmAbout::tr("System Information Is Unavailable At This Time"),
                                    mCommon::ProgramTitle);
}

bool GetKeyValue(quint32 root, const QString &keyName, const QString &valueName, QString &value) {
    constexpr int BufferChars = 1024;
    CWinReg reg;
    if (!reg.OpenKey(root, keyName, false)) return false;
    const bool read = reg.GetValueText(valueName, BufferChars, value);
    reg.CloseKey();
    return read;
}

}  // namespace sendmere
