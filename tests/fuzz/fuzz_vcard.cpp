// libFuzzer target: any bytes read as a contact file must neither crash nor hang the parser,
// and every card it keeps must give a contact whose entries are well formed.
#include "platform/mail/Contacts.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace sendmere::mail;
    QStringList problems;
    const std::vector<VCard> cards = parseVCards(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &problems);
    std::vector<Contact> contacts;
    for (const VCard &card : cards) {
        for (const VCardProperty &property : card.properties) {
            if (property.name.isEmpty()) std::abort();
            (void)property.text();
            (void)property.components();
        }
        if (auto contact = contactFromVCard(card)) contacts.push_back(*contact);
    }
    for (const AddressEntry &entry : addressEntries(contacts))
        if (entry.Name.isEmpty() || entry.Name != entry.EntryName) std::abort();
    return 0;
}
