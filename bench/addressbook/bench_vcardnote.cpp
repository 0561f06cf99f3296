// One card whose note is 10 MB of quoted-printable text with a soft line break every 75
// characters: the time to read it grows with its size, not with its square.
// Run: build/bench/addressbook/bench_vcardnote [megabytes]
#include "platform/mail/Contacts.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>

using namespace sendmere;

int main(int argc, char **argv) {
    const qsizetype megabytes = argc > 1 ? std::atoi(argv[1]) : 10;
    QByteArray card = "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Long Note\r\nNOTE;ENCODING=QUOTED-PRINTABLE:";
    const QByteArray piece = QByteArray(72, 'a') + "=\r\n";
    while (card.size() < megabytes * 1024 * 1024) card += piece;
    card += "end\r\nEND:VCARD\r\n";
    QElapsedTimer clock;
    clock.start();
    const std::vector<mail::VCard> cards = mail::parseVCards(card);
    const qint64 ms = clock.elapsed();
    std::printf("%lld MB card, soft line breaks every 75 characters: read in %lld ms (%zu card)\n",
                static_cast<long long>(megabytes), static_cast<long long>(ms), cards.size());
    return cards.size() == 1 ? 0 : 1;
}
