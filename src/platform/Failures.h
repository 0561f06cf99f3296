#pragma once
// How procedures handle their failures: log under their own name and return, end silently,
// or go on past each failing step and remember the last failure.
#include "platform/AutomationError.h"

#include <QString>
#include <exception>
#include <optional>

namespace sendmere {

void WriteErrorLog(qint32 number, const QString &text, const QString &procedure);

// Any exception as the number and text the error log and the callers see.
AutomationError asAutomationError(const std::exception_ptr &failure);

// Runs body; a failure is written to the error log under procedure and swallowed.
// Returns true when body ran to its end.
template <typename Body>
bool logFailures(const QString &procedure, Body &&body) {
    try {
        body();
        return true;
    } catch (...) {
        const AutomationError error = asAutomationError(std::current_exception());
        WriteErrorLog(error.number(), error.text(), procedure);
        return false;
    }
}

// Runs body; a failure ends it without a message and without a log record.
template <typename Body>
bool endSilently(Body &&body) {
    try {
        body();
        return true;
    } catch (...) {
        return false;
    }
}

// Runs step after step; a failing step is skipped and remembered, the next one runs.
class ResumeNext {
public:
    template <typename Step>
    bool step(Step &&body) {
        try {
            body();
            return true;
        } catch (...) {
            m_last = asAutomationError(std::current_exception());
            return false;
        }
    }
    bool failed() const { return m_last.has_value(); }
    qint32 number() const { return m_last ? m_last->number() : 0; }
    const std::optional<AutomationError> &last() const { return m_last; }
    void clear() { m_last.reset(); }
    // Logs the remembered failure, if any, under procedure and clears it.
    void logAndClear(const QString &procedure);

private:
    std::optional<AutomationError> m_last;
};

}  // namespace sendmere
