#include "FaxComposer.h"

#include "FaxBusApi.h"
#include "FaxRender.h"
#include "RegistryStore.h"
#include "ServiceLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <optional>

namespace sendmere::faxd {

namespace {

using registry::RegistryStore;
using registry::Root;

const QString ShellFolders = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
const QString FaxSetup = QStringLiteral("Software\\Microsoft\\Fax\\Setup");

QString registryDir(const RegistryStore &store, Root root, const QString &baseName, const QString &subName)
{
    const auto base = store.value(root, ShellFolders, baseName);
    const auto sub = store.value(root, FaxSetup, subName);
    if (!base || !sub || base->text.isEmpty() || sub->text.isEmpty())
        return {};
    QString dir = base->text + u'/' + sub->text;
    return QDir::cleanPath(dir.replace(u'\\', u'/'));
}

QString bannerText(const QDateTime &time, const QString &tsid, int page, int pages)
{
    return QStringLiteral("%1   FROM: %2   Page %3 of %4")
        .arg(time.toString(QStringLiteral("yyyy-MM-dd hh:mm")), tsid)
        .arg(page)
        .arg(pages);
}

render::CoverPageFields coverFields(const JobImage &job, int pageCount)
{
    const Person &s = job.sender;
    const Person &r = job.recipient;
    render::CoverPageFields f;
    f.recipientName = r.name;
    f.recipientFaxNumber = r.faxNumber;
    f.recipientCompany = r.company;
    f.recipientStreetAddress = r.streetAddress;
    f.recipientCity = r.city;
    f.recipientState = r.state;
    f.recipientZip = r.zipCode;
    f.recipientCountry = r.country;
    f.recipientTitle = r.title;
    f.recipientDepartment = r.department;
    f.recipientOfficeLocation = r.officeLocation;
    f.recipientHomePhone = r.homePhone;
    f.recipientOfficePhone = r.officePhone;
    f.senderName = s.name;
    f.senderFaxNumber = s.faxNumber;
    f.senderCompany = s.company;
    f.senderAddress = s.streetAddress;
    f.senderTitle = s.title;
    f.senderDepartment = s.department;
    f.senderOfficeLocation = s.officeLocation;
    f.senderHomePhone = s.homePhone;
    f.senderOfficePhone = s.officePhone;
    f.senderEmail = s.email;
    f.senderBillingCode = s.billingCode;
    f.note = job.note;
    f.subject = job.subject;
    f.timeSent = job.time;
    f.pageCount = pageCount;
    return f;
}

}  // namespace

CoverPageDirs CoverPageDirs::fromRegistry(const ServiceLog &log)
{
    const RegistryStore store;
    CoverPageDirs dirs{registryDir(store, Root::LocalMachine, QStringLiteral("Common AppData"), QStringLiteral("ServerCoverPageDir")),
                       registryDir(store, Root::CurrentUser, QStringLiteral("Personal"), QStringLiteral("CoverPageDir"))};
    const QString fallbackRoot = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere");
    if (dirs.server.isEmpty()) {
        dirs.server = fallbackRoot + QStringLiteral("/CoverPages");
        log.warning(QStringLiteral("the registry names no server cover page directory; using %1").arg(dirs.server));
    }
    if (dirs.personal.isEmpty())
        dirs.personal = fallbackRoot + QStringLiteral("/PersonalCoverPages");
    return dirs;
}

QString resolveCoverPage(const CoverPageDirs &dirs, int type, const QString &name)
{
    if (type == 0)
        return {};
    if (name.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The document asks for a cover page but names none."));
    QString path = name;
    if (QFileInfo(name).isRelative()) {
        // A name is a file of the cover page folder, never a way out of it.
        if (name.split(u'/').contains(QStringLiteral("..")))
            throw ServiceError(faxbus::ErrorInvalidArgument,
                               QStringLiteral("The cover page name \"%1\" leaves the cover page folder.").arg(name));
        path = (type == 2 ? dirs.server : dirs.personal) + u'/' + name;
    } else if (type != 1 && type != 2)
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("Unknown cover page type %1.").arg(type));
    if (!QFileInfo(path).isFile())
        throw ServiceError(faxbus::ErrorFileNotFound, QStringLiteral("The cover page template %1 does not exist.").arg(path));
    return path;
}

void checkReadable(const QString &path)
{
    // The service's own folder is nobody's idea of where a relative name lies.
    if (QFileInfo(path).isRelative())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("\"%1\" is no absolute file path.").arg(path));
    const QFileInfo info(path);
    if (!info.exists())
        throw ServiceError(faxbus::ErrorFileNotFound, QStringLiteral("%1: the file does not exist.").arg(path));
    if (!info.isFile())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: not a file.").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ServiceError(faxbus::ErrorAccessDenied, QStringLiteral("%1: the file cannot be read (%2).").arg(path, file.errorString()));
}

void throwIfCancelled(CancelFlag cancel)
{
    if (cancel && cancel->load())
        throw render::RenderError(QStringLiteral("the render was stopped"));
}

RenderedBody::RenderedBody(const QString &bodyPath, QString tempPath, CancelFlag cancel, PageCounter pagesDone,
                           const std::function<void(int pages)> &pagesKnown)
    : m_path(std::move(tempPath))
{
    checkReadable(bodyPath);
    render::CodedBodyWriter file(m_path);
    render::rasteriseCodedBody(bodyPath, [&](render::CodedBodyPage &&page) {
        throwIfCancelled(cancel);
        file.add(page);
        if (pagesDone)
            ++*pagesDone;
    }, pagesKnown);
    if (file.pageCount() == 0)
        throw render::RenderError(QStringLiteral("%1: the document has no pages.").arg(bodyPath));
    file.close();
    m_pages = file.pageCount();
}

RenderedBody::~RenderedBody()
{
    QFile::remove(m_path);
}

int composeJobImage(const JobImage &job, const QString &outPath)
{
    const int bodyPages = job.body ? job.body->pages() : 0;
    const int pages = bodyPages + (job.coverTemplate.isEmpty() ? 0 : 1);
    if (pages == 0)
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has neither a cover page nor a body."));
    render::FaxTiffWriter writer(outPath);
    int page = 0;
    if (!job.coverTemplate.isEmpty()) {
        QImage cover = render::renderCoverPage(job.coverTemplate, coverFields(job, pages));
        render::drawBanner(cover, bannerText(job.time, job.tsid, ++page, pages));
        writer.addPage(cover);
        if (job.pagesDone)
            ++*job.pagesDone;
    }
    // The body's pages were coded once for all recipients: only each banner is coded here.
    std::optional<render::CodedBodyReader> body;
    if (bodyPages > 0)
        body.emplace(job.body->path());
    for (int i = 0; i < bodyPages; ++i) {
        throwIfCancelled(job.cancel);
        writer.addBodyPage(body->next(), bannerText(job.time, job.tsid, ++page, pages));
        if (job.pagesDone)
            ++*job.pagesDone;
    }
    writer.close();
    return writer.pageCount();
}

int composeIncomingImage(const QString &bodyPath, const QString &tsid, const QString &outPath, CancelFlag cancel)
{
    RenderedBody body(bodyPath, outPath + QStringLiteral(".body.part"), cancel);
    JobImage job;
    job.cancel = cancel;
    job.body = &body;
    job.tsid = tsid;
    job.time = QDateTime::currentDateTime();
    return composeJobImage(job, outPath);
}

}  // namespace sendmere::faxd
