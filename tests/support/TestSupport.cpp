#include "TestSupport.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>
#include <QTextEdit>

#if defined(__SANITIZE_ADDRESS__)
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
// Qt's own threads (the bus connection's, the test watchdog) end only as the process ends and
// release Qt's data of them in a thread-exit handler that may run after the leak checker has
// stopped looking at that thread, which then reports the data as lost. Registered before any
// thread starts, this handler runs after Qt's and before the leak check, and gives the other
// threads up to 2 s to end.
[[maybe_unused]] static const bool threadsAwaitedAtExit = (std::atexit([] {
    std::error_code error;
    const auto threads = [&] { return std::distance(std::filesystem::directory_iterator("/proc/self/task", error), {}); };
    for (int waited = 0; waited < 1000 && threads() > 1; ++waited) ::usleep(2000);
}), true);
#endif

QStringList sendmere::test::unnamedControls(QWidget &window) {
    QStringList unnamed;
    const auto isList = [](QWidget *w) { return qobject_cast<QAbstractItemView *>(w) != nullptr; };
    for (QWidget *control : window.findChildren<QWidget *>()) {
        const bool operable = qobject_cast<QAbstractButton *>(control) || qobject_cast<QLineEdit *>(control) ||
                              qobject_cast<QTextEdit *>(control) || qobject_cast<QComboBox *>(control) || isList(control) ||
                              qobject_cast<QAbstractSpinBox *>(control);
        // A list's own header and scroll parts are reached through the list.
        QWidget *parent = control->parentWidget();
        if (!operable || isList(parent) || (parent && isList(parent->parentWidget())) ||
            control->objectName().startsWith(QLatin1String("qt_")))
            continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << control->objectName() + u'(' + QLatin1String(control->metaObject()->className()) + u')';
    }
    return unnamed;
}
