#pragma once
// A dialog page of the program. Each page exists once per process: `page<T>()` creates it on
// first use (running Form_Load), `unload()` closes and destroys it so the next use creates a
// fresh one, `hide()` keeps it with its contents. Form_Activate runs when the page becomes the
// program's active page: when it is shown and whenever another page of the program hands the
// focus to it. The page's own message boxes and file dialogs, or another program's windows,
// coming and going do not activate it again.
#include <QDialog>
#include <QPointer>
#include <chrono>
#include <functional>

namespace sendmere {

enum class PageId {
    frmScan,
    frmScanning,
    frmtest,
    frmAbout,
    frmCover,
    frmFinish,
    frmImport,
    frmNew,
    frmSend,
    frmSender,
    frmWarning,
    frmUpdate,
};

class FormPage : public QDialog {
    Q_OBJECT
public:
    explicit FormPage(QWidget *parent = nullptr);

    virtual void Form_Load() {}
    virtual void Form_Activate() {}
    // A page that goes on working while hidden (the import) keeps the program alive meanwhile.
    virtual bool worksWhileHidden() const { return false; }

    // Shows the page without waiting and makes it the active window.
    void showPage();
    // Close and destroy: nothing of the page survives.
    void unload();
    // Shows next in this page's place and size (height, width, left, top).
    void showInMyPlace(FormPage &next);

    std::chrono::steady_clock::time_point shownAt() const { return m_shownAt; }

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private Q_SLOTS:
    void windowActivated();

private:
    std::chrono::steady_clock::time_point m_shownAt;
};

QPointer<QWidget> &pageSlot(PageId id);

template <typename T>
T *existingPage() {
    return static_cast<T *>(pageSlot(T::pageId).data());
}

template <typename T>
T &page() {
    QPointer<QWidget> &slot = pageSlot(T::pageId);
    if (!slot) {
        auto *created = new T();  // owned by its slot; destroyed by unload() or releasePages()
        slot = created;
        created->Form_Load();
    }
    return *static_cast<T *>(slot.data());
}

// Destroys every page instance, in the order the program releases them at its end.
void releasePages();

// Runs once no page of the program is left on screen (the last one closed, or hidden, without
// an explicit end of the program); the program's entry ends the process there.
void onLastPageGone(std::function<void()> handler);

}  // namespace sendmere
