#pragma once
// How every bus method of FaxService answers when it refuses: included by the files that
// define them.
#include "FaxRender.h"
#include "FaxService.h"
#include "ServiceLog.h"
#include "Spool.h"

namespace sendmere::faxd {

// Runs one bus method: a refused request becomes an error reply with its text, whatever
// went wrong inside; the service itself goes on.
template <typename Result, typename Body>
Result FaxService::guarded(Body body)
{
    touch();
    try {
        return body();
    } catch (const ServiceError &e) {
        sendErrorReply(e.name(), e.text());
    } catch (const render::RenderError &e) {
        sendErrorReply(faxbus::ErrorRenderFailed, e.message());
    } catch (const SpoolError &e) {
        m_log.warning(QString::fromUtf8(e.what()));
        sendErrorReply(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
    } catch (const std::exception &e) {
        m_log.warning(QStringLiteral("unexpected failure: %1").arg(QString::fromUtf8(e.what())));
        sendErrorReply(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
    }
    return Result{};
}

}  // namespace sendmere::faxd
