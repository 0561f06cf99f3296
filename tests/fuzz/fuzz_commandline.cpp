// libFuzzer target: any command line, parsed and loaded into the fax job as "new" and
// "cover" would, must neither crash nor break the job's list invariants.
#include "app/CommandLine.h"
#include "job/FaxJob.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace sendmere;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const CommandLine line = parseCommandLine(text);
    if (line.fields.isEmpty() != text.isEmpty()) std::abort();
    fillNewFax(line);
    const FaxJob &job = faxJob();
    if (job.RecipientName.upperBound() != job.RecipientNumber.upperBound()) std::abort();
    if (job.RecipientName.upperBound() < 0 || job.Attachments.upperBound() < 0) std::abort();
    fillCoverFax(line);
    if (job.RecipientName.upperBound() != int(line.names.size())) std::abort();
    return 0;
}
