#include "DesktopKit.h"

#include <QDBusArgument>
#include <QDBusReply>
#include <QtTest>
#include <QtWidgets>

namespace sendmere::test {
namespace {

struct RecordingEnd final : shell::ProgramEnd {
    QList<int> &codes;
    explicit RecordingEnd(QList<int> &list) : codes(list) {}
    void exit(int code) override { codes.append(code); }
};

// Runs step on the program's modal dialog of type Dialog once it is shown and active, every few
// milliseconds until step returns true.
template <typename Dialog>
void whenShown(std::function<bool(Dialog *)> step) {
    QTimer::singleShot(20, qApp, [step] {
        auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || !dialog->isActiveWindow() || !step(dialog)) whenShown(step);
    });
}

const QString AccessibleIface = QStringLiteral("org.a11y.atspi.Accessible");

// A plain call, without the introspection a QDBusInterface would make of every node.
QDBusMessage call(const QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                  const QString &method, const QVariantList &args = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    return bus.call(message);
}

// The reply's array of structures, each as a tuple of its fields.
template <typename... Fields>
QList<std::tuple<Fields...>> structures(const QDBusMessage &reply) {
    QList<std::tuple<Fields...>> rows;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return rows;
    const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        std::tuple<Fields...> row;
        list.beginStructure();
        std::apply([&](auto &...field) { (list >> ... >> field); }, row);
        list.endStructure();
        rows.append(row);
    }
    list.endArray();
    return rows;
}

// The node look returns, asked every 50 ms until it is valid or timeoutMs have passed.
AtSpi::Node waitedFor(int timeoutMs, const std::function<AtSpi::Node()> &look) {
    const QDeadlineTimer deadline(timeoutMs);
    do {
        if (AtSpi::Node found = look(); found.isValid()) return found;
        QTest::qWait(50);
    } while (!deadline.hasExpired());
    return {};
}

// A connection of its own to the accessibility bus, whose address the session bus tells.
QDBusConnection accessibilityBus(const QString &connectionName) {
    const QDBusReply<QString> address =
        call(QDBusConnection::sessionBus(), QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"), QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
    return QDBusConnection::connectToBus(address.value(), connectionName);
}

}  // namespace

RealDialogsSeams::RealDialogsSeams() {
    m_saved = std::exchange(shell::seams().programEnd, std::make_unique<RecordingEnd>(exitCodes));
}

RealDialogsSeams::~RealDialogsSeams() { shell::seams().programEnd = std::move(m_saved); }

bool doAccessibleAction(QWidget *control, const QString &action) {
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    QAccessibleActionInterface *actions = accessible ? accessible->actionInterface() : nullptr;
    const bool offered = actions && actions->actionNames().contains(action);
    if (offered) actions->doAction(action);
    return offered;
}

bool setAccessibleText(QWidget *control, const QString &text) {
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
    const bool editable = accessible && !accessible->state().readOnly;
    if (editable) accessible->setText(QAccessible::Value, text);
    return editable;
}

void closeNextMessageBox(ClosedDialog *shown, std::function<void(QWidget *)> inspect) {
    whenShown<QMessageBox>([shown, inspect](QMessageBox *box) {
        if (shown) *shown = {box->windowTitle(), box->text()};
        if (inspect) inspect(box);
        QTest::keyClick(box, Qt::Key_Return);
        return true;
    });
}

void chooseInNextFileDialog(const QString &path, std::function<void(QWidget *)> inspect) {
    whenShown<QFileDialog>([path, inspect](QFileDialog *dialog) {
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!name) return false;
        if (inspect) inspect(dialog);
        name->setFocus();
        name->setText(path);  // as pasted: no completion list pops up over the box
        QTest::keyClick(name, Qt::Key_Return);
        return true;
    });
}

AtSpi::AtSpi() : m_bus(accessibilityBus(QStringLiteral("sendmere-test-atspi-%1").arg(quintptr(this)))) {}
AtSpi::~AtSpi() { QDBusConnection::disconnectFromBus(m_bus.name()); }

QList<AtSpi::Node> AtSpi::children(const Node &node) {
    QList<Node> nodes;
    for (const auto &[service, path] :
         structures<QString, QDBusObjectPath>(call(m_bus, node.service, node.path, AccessibleIface, QStringLiteral("GetChildren"))))
        nodes.append({service, path.path()});
    return nodes;
}

QString AtSpi::name(const Node &node) {
    return QDBusReply<QDBusVariant>(call(m_bus, node.service, node.path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                         {AccessibleIface, QStringLiteral("Name")})).value().variant().toString();
}

quint32 AtSpi::role(const Node &node) { return QDBusReply<quint32>(call(m_bus, node.service, node.path, AccessibleIface, QStringLiteral("GetRole"))).value(); }

AtSpi::Node AtSpi::application(qint64 pid, int timeoutMs) {
    const Node root{QStringLiteral("org.a11y.atspi.Registry"), QStringLiteral("/org/a11y/atspi/accessible/root")};
    return waitedFor(timeoutMs, [&] {
        for (const Node &app : children(root)) {
            const QDBusReply<quint32> appPid = call(m_bus, QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                    QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"), {app.service});
            if (appPid.isValid() && appPid.value() == pid) return app;
        }
        return Node{};
    });
}

AtSpi::Node AtSpi::search(const Node &root, const std::function<bool(const Node &)> &match, int depth) {
    for (const Node &child : children(root)) {
        if (match(child)) return child;
        if (depth > 0)
            if (Node found = search(child, match, depth - 1); found.isValid()) return found;
    }
    return {};
}

AtSpi::Node AtSpi::find(const Node &root, const QString &wanted, quint32 wantedRole, int timeoutMs) {
    return waitedFor(timeoutMs, [&] {
        return search(root, [&](const Node &node) { return name(node) == wanted && role(node) == wantedRole && isShowing(node); }, 12);
    });
}

bool AtSpi::hasState(const Node &node, int state) {
    const QDBusReply<QList<quint32>> states = call(m_bus, node.service, node.path, AccessibleIface, QStringLiteral("GetState"));
    return states.isValid() && states.value().size() == 2 && (states.value()[state / 32] & (1u << (state % 32)));
}

bool AtSpi::isShowing(const Node &node) { return hasState(node, 25); }  // Showing

AtSpi::Node AtSpi::activeWindow(const Node &app, const QString &title, int timeoutMs) {
    return waitedFor(timeoutMs, [&] {
        for (const Node &window : children(app))
            if (name(window) == title && hasState(window, 1)) return window;  // Active
        return Node{};
    });
}

bool AtSpi::doAction(const Node &node, const QString &action) {
    const QString actions = QStringLiteral("org.a11y.atspi.Action");
    const auto names = structures<QString, QString, QString>(call(m_bus, node.service, node.path, actions, QStringLiteral("GetActions")));
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (std::get<0>(names[i]).compare(action, Qt::CaseInsensitive) != 0) continue;
        const QDBusReply<bool> done = call(m_bus, node.service, node.path, actions, QStringLiteral("DoAction"), {int(i)});
        return done.isValid() && done.value();
    }
    return false;
}

bool AtSpi::setText(const Node &node, const QString &text) {
    const QDBusReply<bool> done = call(m_bus, node.service, node.path, QStringLiteral("org.a11y.atspi.EditableText"), QStringLiteral("SetTextContents"), {text});
    return done.isValid() && done.value();
}

QString AtSpi::text(const Node &node) {
    return QDBusReply<QString>(call(m_bus, node.service, node.path, QStringLiteral("org.a11y.atspi.Text"), QStringLiteral("GetText"), {0, -1})).value();
}

AtSpi::Node AtSpi::findRole(const Node &root, quint32 wantedRole) {
    return search(root, [&](const Node &node) { return role(node) == wantedRole; }, 64);
}

qint64 AtSpi::answerTimeMs(const Node &node, int timeoutMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    const QDBusMessage reply = m_bus.call(QDBusMessage::createMethodCall(node.service, node.path, AccessibleIface, QStringLiteral("GetRole")), QDBus::Block, timeoutMs);
    // An error is an answer too (a window that has just gone); only silence is not.
    const bool silent = reply.type() == QDBusMessage::ErrorMessage && reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.NoReply");
    return silent ? -1 : elapsed.elapsed();
}

void startProgram(RunningProgram &program, AtSpi &atspi, const QString &commandLine) {
    program.process.setProcessChannelMode(QProcess::ForwardedChannels);
    program.process.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere"), {commandLine});
    QVERIFY(program.process.waitForStarted());
    program.app = atspi.application(program.process.processId());
    QVERIFY2(program.app.isValid(), "the program never appeared on the accessibility bus");
}

void WizardWalk::on(const QString &title) {
    m_page = m_atspi.activeWindow(m_program.app, title);
    QVERIFY2(m_page.isValid(), qPrintable(title));
}

void WizardWalk::press(const QString &button) {
    QVERIFY2(m_atspi.doAction(m_atspi.find(m_page, button, AtSpi::PushButton), QStringLiteral("Press")), qPrintable(button));
}

void WizardWalk::goToFinish() {
    for (const char *title : {"New Fax", "Cover Page", "Send schedule"}) {
        on(QString::fromLatin1(title));
        press(QStringLiteral("Next >"));
    }
    on(QStringLiteral("Finish"));
}

void expectProgramEnd(RunningProgram &program, int waitMs) {
    if (!program.process.waitForFinished(waitMs)) {
        program.process.kill();
        program.process.waitForFinished();
        QFAIL("the program kept running after its last page was gone");
    }
    QVERIFY(program.process.exitStatus() == QProcess::NormalExit && program.process.exitCode() == 0);
}

}  // namespace sendmere::test
