#include "services/FormPage.h"

#include "platform/shell/Shell.h"

#include <QApplication>
#include <QEvent>
#include <QHideEvent>
#include <QTimer>
#include <array>

namespace sendmere {
namespace {

// Platforms without a window manager (the offscreen one tests use) activate no other
// window when the active one goes; a desktop's window manager does.
bool platformActivatesNextWindow() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

// Where no window manager does it, the page left on screen that was shown last becomes
// active, as it would on a desktop, so that its activation runs.
void activateRemainingPage() {
    const QWidget *active = QApplication::activeWindow();
    if (active && active->isVisible()) return;
    FormPage *remaining = nullptr;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        auto *page = qobject_cast<FormPage *>(window);
        if (page && page->isVisible() && (!remaining || page->shownAt() > remaining->shownAt())) remaining = page;
    }
    if (remaining) remaining->activateWindow();
}

// Benchmark hook: with SENDMERE_BENCH_QUIT_ON_ACTIVE set, the process ends as soon as the
// first page is shown and active, so that start-up time can be measured from outside.
bool quitOnFirstActivation() {
    static const bool quit = qEnvironmentVariableIsSet("SENDMERE_BENCH_QUIT_ON_ACTIVE");
    return quit;
}

// The page that was activated last and is still shown: its own dialogs closing hand the
// focus back to it without activating it again.
QPointer<FormPage> &activePage() {
    static QPointer<FormPage> page;
    return page;
}

std::function<void()> &lastPageGoneHandler() {
    static std::function<void()> handler;
    return handler;
}

// Counts the program's own releases of its pages, which end it explicitly.
int &releaseGeneration() {
    static int generation = 0;
    return generation;
}

// A page still on screen, or a message box or dialog still waiting for the user.
bool anythingShown() {
    for (size_t id = 0; id <= size_t(PageId::frmUpdate); ++id) {
        QWidget *page = pageSlot(PageId(id));
        if (!page) continue;
        const auto *form = qobject_cast<const FormPage *>(page);
        if (page->isVisible() || (form && form->worksWhileHidden())) return true;
    }
    return QApplication::activeModalWidget() != nullptr;
}

// Whether the end was told since a page was last shown: a page is hidden, then destroyed.
bool &lastPageGoneTold() {
    static bool told = false;
    return told;
}

// Deferred, so that a handler that closes one page and shows the next leaves a page shown.
void checkLastPageGone() {
    if (!lastPageGoneHandler()) return;
    const int generation = releaseGeneration();
    QTimer::singleShot(0, qApp, [generation] {
        if (generation != releaseGeneration() || anythingShown() || lastPageGoneTold() || !lastPageGoneHandler())
            return;
        lastPageGoneTold() = true;
        lastPageGoneHandler()();
    });
}

}  // namespace

FormPage::FormPage(QWidget *parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    connect(this, &QObject::destroyed, qApp, &checkLastPageGone);
}

void FormPage::showPage() {
    show();
    raise();
    activateWindow();
}

void FormPage::unload() {
    close();  // WA_DeleteOnClose destroys the instance; its slot empties itself
}

void FormPage::showInMyPlace(FormPage &next) {
    next.setGeometry(geometry());
    next.showPage();
}

bool FormPage::event(QEvent *event) {
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate) windowActivated();
    return handled;
}

void FormPage::windowActivated() {
    if (activePage() == this) return;
    activePage() = this;
    Form_Activate();
    if (quitOnFirstActivation()) shell::seams().programEnd->exit(0);
}

void FormPage::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    m_shownAt = std::chrono::steady_clock::now();
    lastPageGoneTold() = false;
}

void FormPage::hideEvent(QHideEvent *event) {
    QDialog::hideEvent(event);
    if (event->spontaneous()) return;  // minimized: still the program's page
    if (activePage() == this) activePage().clear();  // shown again, it is activated again
    checkLastPageGone();
    if (!platformActivatesNextWindow()) QTimer::singleShot(0, qApp, &activateRemainingPage);
}

QPointer<QWidget> &pageSlot(PageId id) {
    static std::array<QPointer<QWidget>, size_t(PageId::frmUpdate) + 1> slots;
    return slots[size_t(id)];
}

void onLastPageGone(std::function<void()> handler) { lastPageGoneHandler() = std::move(handler); }

void releasePages() {
    ++releaseGeneration();
    for (PageId id : {PageId::frmScan, PageId::frmScanning, PageId::frmtest, PageId::frmAbout,
                      PageId::frmCover, PageId::frmFinish, PageId::frmImport, PageId::frmNew,
                      PageId::frmSend, PageId::frmSender, PageId::frmWarning, PageId::frmUpdate}) {
        QPointer<QWidget> &slot = pageSlot(id);
        if (slot) {
            // Deferred, because the page whose button ended the program is still on the stack.
            slot->hide();
            slot->deleteLater();
        }
        slot.clear();
    }
}

}  // namespace sendmere
