#pragma once
// The failure every platform object and every procedure of the program raises: a number
// and a text, as the automation world the program's add-in lives in reports them.
#include <QString>
#include <QtGlobal>
#include <exception>
#include <string>

namespace sendmere {

namespace err {
constexpr qint32 InvalidProcedureCall = 5;
constexpr qint32 SubscriptOutOfRange = 9;
constexpr qint32 TypeMismatch = 13;
constexpr qint32 FileNotFound = 53;
constexpr qint32 DiskFull = 61;
constexpr qint32 FileAlreadyOpen = 55;
constexpr qint32 PermissionDenied = 70;
constexpr qint32 PathFileAccessError = 75;
constexpr qint32 PathNotFound = 76;
constexpr qint32 ObjectNotSet = 91;
constexpr qint32 AddressAccessRefused = 287;
constexpr qint32 CannotCreateObject = 429;
constexpr qint32 AutomationFailure = 440;
constexpr qint32 ServerNotAvailable = 462;
constexpr qint32 MapiNotFound = qint32(0x8004010F);
constexpr qint32 MapiUserCancel = qint32(0x80040113);
constexpr qint32 OperationCancelled = qint32(0x800704C7);  // the user cancelled a lasting operation
}  // namespace err

class AutomationError : public std::exception {
public:
    AutomationError(qint32 number, QString text)
        : m_number(number), m_text(std::move(text)), m_what(m_text.toStdString()) {}

    qint32 number() const noexcept { return m_number; }
    const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_what.c_str(); }

    static AutomationError subscriptOutOfRange() {
        return {err::SubscriptOutOfRange, QStringLiteral("Subscript out of range")};
    }
    static AutomationError objectNotSet() {
        return {err::ObjectNotSet, QStringLiteral("Object variable or With block variable not set")};
    }

private:
    qint32 m_number;
    QString m_text;
    std::string m_what;
};

}  // namespace sendmere
