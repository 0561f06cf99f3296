// libFuzzer target: any bytes as a ".reg" file. Parsing never crashes; what it keeps, written
// out and parsed again, holds the same keys and values (the store rewrites files this way).
#include "RegHive.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace sendmere::registry;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString root = QStringLiteral("HKEY_CURRENT_USER");
    const ParsedFile first = parseRegFile(bytes, root);
    const QByteArray written = formatRegFile(first.hive, root);
    const ParsedFile second = parseRegFile(written, root);
    if (!second.problems.isEmpty()) std::abort();
    const QList<const HiveKey *> a = first.hive.keys(), b = second.hive.keys();
    if (a.size() != b.size()) std::abort();
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i]->path.compare(b[i]->path, Qt::CaseInsensitive) != 0 || a[i]->values.size() != b[i]->values.size()) std::abort();
        for (const StoredValue &v : a[i]->values) {
            const StoredValue *read = b[i]->find(v.name);
            if (!read || !(read->data == v.data)) std::abort();
        }
    }
    return 0;
}
