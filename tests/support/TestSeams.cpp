#include "TestSeams.h"

namespace sendmere::test {
namespace {

template <typename Seam>
struct Recording : Seam {
    explicit Recording(Recorded &r) : r(r) {}
    Recorded &r;
};

struct RecordingMessageBox final : Recording<shell::MessageBox> {
    using Recording::Recording;
    void show(QWidget *, const QString &text, const QString &title, Icon icon) override {
        r.messages.append({text, title, icon});
        if (r.onMessage) r.onMessage();
    }
};

struct RecordingFileDialog final : Recording<shell::FileDialog> {
    using Recording::Recording;
    QString openFileName(QWidget *, const QString &title, const QString &) override {
        r.dialogTitles.append(title);
        return r.nextFileName;
    }
};

struct RecordingLauncher final : Recording<shell::Launcher> {
    using Recording::Recording;
    bool open(const QString &fileOrUrl) override {
        r.opened.append(fileOrUrl);
        return true;
    }
    bool start(const QString &program, const QStringList &arguments) override {
        r.started.append(QStringList{program} + arguments);
        return true;
    }
};

struct RecordingProgramEnd final : Recording<shell::ProgramEnd> {
    using Recording::Recording;
    void exit(int code) override { r.exitCodes.append(code); }
};

}  // namespace

RecordingSeams::RecordingSeams()
    : m_saved{std::make_unique<RecordingMessageBox>(m_recorded), std::make_unique<RecordingFileDialog>(m_recorded),
              std::make_unique<RecordingLauncher>(m_recorded), std::make_unique<RecordingProgramEnd>(m_recorded)} {
    std::swap(shell::seams(), m_saved);
}

}  // namespace sendmere::test
