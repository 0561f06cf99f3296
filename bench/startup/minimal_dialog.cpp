// The floor for the start-up benchmark: one dialog with one label, ended the moment it is
// shown and active, as the program's benchmark hook ends the program.
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLabel>
#include <QVBoxLayout>
#include <cstdio>
#include <unistd.h>

namespace {

class QuitWhenActive : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::WindowActivate) {
            std::fflush(nullptr);
            ::_exit(0);
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Dialog"));
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("Hello"), &dialog));  // owned by the dialog
    QuitWhenActive quit;
    dialog.installEventFilter(&quit);
    return dialog.exec();
}
