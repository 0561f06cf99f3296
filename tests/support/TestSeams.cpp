#include "TestSeams.h"

namespace sendmere::test {
namespace {

class RecordingMessageBox final : public shell::MessageBox {
public:
    explicit RecordingMessageBox(Recorded &r) : m_r(r) {}
    void show(QWidget *, const QString &text, const QString &title, Icon icon) override {
        m_r.messages.append({text, title, icon});
        if (m_r.onMessage) m_r.onMessage();
    }

private:
    Recorded &m_r;
};

class RecordingFileDialog final : public shell::FileDialog {
public:
    explicit RecordingFileDialog(Recorded &r) : m_r(r) {}
    QString openFileName(QWidget *, const QString &title, const QString &) override {
        m_r.dialogTitles.append(title);
        return m_r.nextFileName;
    }

private:
    Recorded &m_r;
};

class RecordingLauncher final : public shell::Launcher {
public:
    explicit RecordingLauncher(Recorded &r) : m_r(r) {}
    bool open(const QString &fileOrUrl) override {
        m_r.opened.append(fileOrUrl);
        return true;
    }
    bool start(const QString &program, const QStringList &arguments) override {
        m_r.started.append(QStringList{program} + arguments);
        return true;
    }

private:
    Recorded &m_r;
};

class RecordingProgramEnd final : public shell::ProgramEnd {
public:
    explicit RecordingProgramEnd(Recorded &r) : m_r(r) {}
    void exit(int code) override { m_r.exitCodes.append(code); }

private:
    Recorded &m_r;
};

}  // namespace

RecordingSeams::RecordingSeams() {
    shell::Seams &seams = shell::seams();
    m_saved.messageBox = std::exchange(seams.messageBox, std::make_unique<RecordingMessageBox>(m_recorded));
    m_saved.fileDialog = std::exchange(seams.fileDialog, std::make_unique<RecordingFileDialog>(m_recorded));
    m_saved.launcher = std::exchange(seams.launcher, std::make_unique<RecordingLauncher>(m_recorded));
    m_saved.programEnd = std::exchange(seams.programEnd, std::make_unique<RecordingProgramEnd>(m_recorded));
}

RecordingSeams::~RecordingSeams() {
    shell::Seams &seams = shell::seams();
    seams.messageBox = std::move(m_saved.messageBox);
    seams.fileDialog = std::move(m_saved.fileDialog);
    seams.launcher = std::move(m_saved.launcher);
    seams.programEnd = std::move(m_saved.programEnd);
}

}  // namespace sendmere::test
