#pragma once
// What the spool's files share to reach its database: a folder's code in the tables, the
// prepared statement and the transaction around one step.
#include "Spool.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace sendmere::faxd {

inline int folderCode(Folder folder) { return int(folder); }

// A prepared statement that raises SpoolError when it fails.
class Spool::Query {
public:
    Query(const QString &connection, const QString &sql) : m_query(QSqlDatabase::database(connection, false))
    {
        if (!m_query.prepare(sql))
            throw SpoolError(QStringLiteral("spool database: %1 (%2)").arg(m_query.lastError().text(), sql));
    }
    Query &bind(const QVariant &value) { m_query.addBindValue(value); return *this; }
    QSqlQuery exec()
    {
        if (!m_query.exec())
            throw SpoolError(QStringLiteral("spool database: %1").arg(m_query.lastError().text()));
        return std::move(m_query);
    }

private:
    QSqlQuery m_query;
};

// Runs body inside one transaction; any failure rolls it back and is raised again.
template <typename Body>
inline void inTransaction(const QString &connection, Body body)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.transaction())
        throw SpoolError(QStringLiteral("spool database: cannot begin a transaction: %1").arg(db.lastError().text()));
    try {
        body();
    } catch (...) {
        db.rollback();
        throw;
    }
}

}  // namespace sendmere::faxd
