#pragma once
// CCITT Group 4 (T.6) coding of 1-bit rows, as a TIFF Class F strip holds them.
#include "FaxRender.h"

#include <QByteArray>
#include <QImage>

#include <memory>

namespace sendmere::render::detail {

// The page (Format_Mono, index 1 black) coded as one G4 strip ending in EOFB. The same bits
// libtiff writes, in a third of its time: runs are found a machine word at a time.
QByteArray codeG4(const QImage &mono);

// Coded rows that need not end on a whole byte: bits counts the bits of bytes that belong to
// the code; the rest of the last byte is zero.
struct G4Code {
    QByteArray bytes;
    qint64 bits = 0;
};

// Rows [first, end) of the page coded against the row above first (white above row 0), with
// EOFB after them when endOfPage. As each row is coded against the one above only, the code of
// rows [0, k) followed by the code of rows [k, height) is the code of the whole page.
G4Code codeG4Rows(const QImage &mono, int first, int end, bool endOfPage);

// Codes rows one after the other as they are made, so that a page need not be kept whole.
class G4RowCoder {
public:
    // reference: the row above the first one coded (Format_Mono bits, 1 = black); null: white.
    explicit G4RowCoder(int width, const uchar *reference = nullptr);
    ~G4RowCoder();
    G4RowCoder(const G4RowCoder &) = delete;
    G4RowCoder &operator=(const G4RowCoder &) = delete;

    void code(const uchar *row);      // Format_Mono bits, 1 = black
    G4Code finish(bool endOfPage);    // the code so far, with EOFB when asked

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// head's bits followed by tail's, padded with zero bits to a whole byte.
QByteArray joinG4(const G4Code &head, const G4Code &tail);

// The top of a body page that each fax codes for itself: the rows its banner covers, white
// until the banner is drawn on them, and the body's row below them. Its code followed by the
// page's tail is the code of the whole page.
QImage bodyPageTop(const CodedBodyPage &page);

}  // namespace sendmere::render::detail
