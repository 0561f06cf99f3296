#include "platform/shell/Shell.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QUrl>
#include <cstdio>
#include <unistd.h>

namespace sendmere::shell {
namespace {

// Room a window manager's title bar takes beside the title: the window menu's icon and the
// buttons to minimize, maximize and close, with their margins.
constexpr int TitleBarControlsWidth = 160;

// A box as narrow as a short text would leave its title to be elided by the window manager
// (a "Help" box would read "..."): it is made as wide as its title needs, in the bold face
// title bars use.
void makeRoomForTitle(QMessageBox &box) {
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    if (!grid) return;
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + TitleBarControlsWidth;
    // Owned by the layout.
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1, grid->columnCount());
}

class DesktopMessageBox final : public MessageBox {
public:
    void show(QWidget *parent, const QString &text, const QString &title, Icon icon) override {
        // Owned by parent while shown: when parent is destroyed under the open box (its window
        // closed through the accessibility bus, say), the box goes with it and exec returns.
        const QPointer<QMessageBox> box =
            new QMessageBox(icon == Icon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
        makeRoomForTitle(*box);
        box->exec();
        delete box.data();
    }
};

class DesktopFileDialog final : public FileDialog {
public:
    QString openFileName(QWidget *parent, const QString &title, const QString &filter) override {
        QFileDialog dialog(parent, title, QString(), qtFileFilter(filter));
        dialog.setFileMode(QFileDialog::ExistingFile);
        // The program's descriptions already name their patterns: each is shown once, as
        // written (Qt would tidy its blanks).
        dialog.setOption(QFileDialog::HideNameFilterDetails);
        if (auto *types = dialog.findChild<QComboBox *>(QStringLiteral("fileTypeCombo"))) {
            const QStringList parts = filter.split(QLatin1Char('|'));
            for (int i = 0; i < types->count() && 2 * i < parts.size(); ++i) types->setItemText(i, parts[2 * i]);
        }
        if (dialog.exec() != QDialog::Accepted) return {};
        return dialog.selectedFiles().value(0);
    }
};

class DesktopLauncher final : public Launcher {
public:
    bool open(const QString &fileOrUrl) override {
        const bool isFile = QFileInfo::exists(fileOrUrl);
        return QDesktopServices::openUrl(isFile ? QUrl::fromLocalFile(fileOrUrl) : QUrl(fileOrUrl));
    }
    bool start(const QString &program, const QStringList &arguments) override {
        return QProcess::startDetached(program, arguments);
    }
};

class ProcessEnd final : public ProgramEnd {
public:
    void exit(int code) override {
        // Ends without running window close handlers or static destructors; every file the
        // program writes is closed by the time it gets here.
        std::fflush(nullptr);
        ::_exit(code);
    }
};

}  // namespace

Seams &seams() {
    static Seams desktop{std::make_unique<DesktopMessageBox>(), std::make_unique<DesktopFileDialog>(),
                         std::make_unique<DesktopLauncher>(), std::make_unique<ProcessEnd>()};
    return desktop;
}

QString qtFileFilter(const QString &pipeFilter) {
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

}  // namespace sendmere::shell
