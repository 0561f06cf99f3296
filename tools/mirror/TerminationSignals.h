#pragma once
// The end of the session (SIGTERM from the session manager, SIGHUP, or SIGINT from a
// terminal) as a normal end of the event loop, so that the program's own clean-up runs.
#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace sendmere {

// Blocks the signals in the calling thread; call it first in main, before any thread exists,
// so that every later thread inherits the block and the signals wait for the watcher.
void blockTerminationSignals();

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Quits the application's event loop when one of the blocked signals arrives.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

private:
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace sendmere
