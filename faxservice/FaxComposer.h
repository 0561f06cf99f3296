#pragma once
// Turns a submitted document into fax images: the body rendered once, then per recipient a
// TIFF Class F of the filled cover page and the body pages, each page with its banner line.
#include "JobRecord.h"

#include <QDateTime>
#include <QString>
#include <atomic>
#include <functional>
#include <stdexcept>

namespace sendmere::faxd {

class ServiceLog;

// A submission the service refuses; name is one of the service's D-Bus error names.
class ServiceError : public std::runtime_error {
public:
    ServiceError(QString name, const QString &text) : std::runtime_error(text.toStdString()), m_name(std::move(name)) {}
    const QString &name() const { return m_name; }
    QString text() const { return QString::fromStdString(what()); }

private:
    QString m_name;
};

struct CoverPageDirs {
    QString server, personal;
    // Read from the registry store as the program reads them.
    static CoverPageDirs fromRegistry(const ServiceLog &log);
};

// The template file of a document: type 2 = server directory, 1 = personal directory,
// an absolute path as it is. Raises ServiceError when it does not exist.
QString resolveCoverPage(const CoverPageDirs &dirs, int type, const QString &name);

// Checks that a file exists and can be read; raises ServiceError naming it otherwise.
void checkReadable(const QString &path);

// Set from another thread to stop a render between two pages; the render then raises
// RenderError. Null: the render cannot be cancelled.
using CancelFlag = const std::atomic<bool> *;
void throwIfCancelled(CancelFlag cancel);

// Counts the pages a render has made, read from another thread to report progress. Null:
// nobody asks.
using PageCounter = std::atomic<int> *;

// The body of a submission rendered and coded into a temporary file (without banners), removed
// with it.
class RenderedBody {
public:
    RenderedBody(const QString &bodyPath, QString tempPath, CancelFlag cancel = nullptr, PageCounter pagesDone = nullptr,
                 const std::function<void(int pages)> &pagesKnown = {});
    ~RenderedBody();
    RenderedBody(const RenderedBody &) = delete;
    RenderedBody &operator=(const RenderedBody &) = delete;
    int pages() const { return m_pages; }
    const QString &path() const { return m_path; }

private:
    QString m_path;
    int m_pages = 0;
};

struct JobImage {
    QString coverTemplate;     // empty: no cover page
    Person sender, recipient;
    QString subject, note;
    const RenderedBody *body = nullptr;
    QString tsid;
    QDateTime time;
    CancelFlag cancel = nullptr;
    PageCounter pagesDone = nullptr;
};

// Writes the job's fax image to outPath and returns its page count.
int composeJobImage(const JobImage &job, const QString &outPath);

// Renders a plain file (a simulated incoming call's document) with banners to outPath.
int composeIncomingImage(const QString &bodyPath, const QString &tsid, const QString &outPath, CancelFlag cancel = nullptr);

}  // namespace sendmere::faxd
