#pragma once
// What the writer and the reader of mail items share: GMime objects owned by smart
// pointers, the X-Sendmere-* header names, and properties as header lines.
#include "platform/mail/MimeMessage.h"

#include <memory>
#include <optional>

#include <gmime/gmime.h>

namespace sendmere::mail {

template <typename T>
struct GObjectUnref {
    void operator()(T *object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GFree {
    void operator()(char *text) const { g_free(text); }
};
using GString8 = std::unique_ptr<char, GFree>;

constexpr const char *ClassHeader = "X-Sendmere-Class";
constexpr const char *ToHeader = "X-Sendmere-To";
constexpr const char *UserPropertyHeader = "X-Sendmere-User-Property";
constexpr const char *PropertyHeader = "X-Sendmere-Property";
constexpr const char *PositionHeader = "X-Sendmere-Position";
constexpr const char *FileNameHeader = "X-Sendmere-File-Name";
constexpr const char *DisplayNameHeader = "X-Sendmere-Display-Name";
constexpr const char *ReceivedByUs = "by sendmere";

inline QByteArray utf8(const QString &text) { return text.toUtf8(); }
inline QString fromUtf8(const char *text) { return text ? QString::fromUtf8(text) : QString(); }

GPtr<GMimeStream> memoryStream(const QByteArray &bytes);
QByteArray streamBytes(GMimeStream *stream);

}  // namespace sendmere::mail
