// The GMime helpers that the reader and the writer of mail items share.
#include "platform/mail/MailCodec.h"
#include "platform/mail/MimeCommon.h"

#include <mutex>

namespace sendmere::mail {

GPtr<GMimeStream> memoryStream(const QByteArray &bytes) {
    return GPtr<GMimeStream>(g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size())));
}

QByteArray streamBytes(GMimeStream *stream) {
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    return array ? QByteArray(reinterpret_cast<const char *>(array->data), qsizetype(array->len)) : QByteArray();
}

void codec::initMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

}  // namespace sendmere::mail
