#include "G4Coder.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sendmere::render::detail {

namespace {

struct Code {
    quint8 length;
    quint16 bits;
};

// Terminating codes, runs 0..63 (T.4 tables 2 and 3).
constexpr Code WhiteTerminating[64] = {
    {8, 0x35}, {6, 0x07}, {4, 0x07}, {4, 0x08}, {4, 0x0B}, {4, 0x0C}, {4, 0x0E}, {4, 0x0F},
    {5, 0x13}, {5, 0x14}, {5, 0x07}, {5, 0x08}, {6, 0x08}, {6, 0x03}, {6, 0x34}, {6, 0x35},
    {6, 0x2A}, {6, 0x2B}, {7, 0x27}, {7, 0x0C}, {7, 0x08}, {7, 0x17}, {7, 0x03}, {7, 0x04},
    {7, 0x28}, {7, 0x2B}, {7, 0x13}, {7, 0x24}, {7, 0x18}, {8, 0x02}, {8, 0x03}, {8, 0x1A},
    {8, 0x1B}, {8, 0x12}, {8, 0x13}, {8, 0x14}, {8, 0x15}, {8, 0x16}, {8, 0x17}, {8, 0x28},
    {8, 0x29}, {8, 0x2A}, {8, 0x2B}, {8, 0x2C}, {8, 0x2D}, {8, 0x04}, {8, 0x05}, {8, 0x0A},
    {8, 0x0B}, {8, 0x52}, {8, 0x53}, {8, 0x54}, {8, 0x55}, {8, 0x24}, {8, 0x25}, {8, 0x58},
    {8, 0x59}, {8, 0x5A}, {8, 0x5B}, {8, 0x4A}, {8, 0x4B}, {8, 0x32}, {8, 0x33}, {8, 0x34}};
constexpr Code BlackTerminating[64] = {
    {10, 0x37}, {3, 0x02},  {2, 0x03},  {2, 0x02},  {3, 0x03},  {4, 0x03},  {4, 0x02},  {5, 0x03},
    {6, 0x05},  {6, 0x04},  {7, 0x04},  {7, 0x05},  {7, 0x07},  {8, 0x04},  {8, 0x07},  {9, 0x18},
    {10, 0x17}, {10, 0x18}, {10, 0x08}, {11, 0x67}, {11, 0x68}, {11, 0x6C}, {11, 0x37}, {11, 0x28},
    {11, 0x17}, {11, 0x18}, {12, 0xCA}, {12, 0xCB}, {12, 0xCC}, {12, 0xCD}, {12, 0x68}, {12, 0x69},
    {12, 0x6A}, {12, 0x6B}, {12, 0xD2}, {12, 0xD3}, {12, 0xD4}, {12, 0xD5}, {12, 0xD6}, {12, 0xD7},
    {12, 0x6C}, {12, 0x6D}, {12, 0xDA}, {12, 0xDB}, {12, 0x54}, {12, 0x55}, {12, 0x56}, {12, 0x57},
    {12, 0x64}, {12, 0x65}, {12, 0x52}, {12, 0x53}, {12, 0x24}, {12, 0x37}, {12, 0x38}, {12, 0x27},
    {12, 0x28}, {12, 0x58}, {12, 0x59}, {12, 0x2B}, {12, 0x2C}, {12, 0x5A}, {12, 0x66}, {12, 0x67}};
// Make-up codes, runs 64, 128 .. 1728.
constexpr Code WhiteMakeUp[27] = {
    {5, 0x1B}, {5, 0x12}, {6, 0x17}, {7, 0x37}, {8, 0x36}, {8, 0x37}, {8, 0x64}, {8, 0x65}, {8, 0x68},
    {8, 0x67}, {9, 0xCC}, {9, 0xCD}, {9, 0xD2}, {9, 0xD3}, {9, 0xD4}, {9, 0xD5}, {9, 0xD6}, {9, 0xD7},
    {9, 0xD8}, {9, 0xD9}, {9, 0xDA}, {9, 0xDB}, {9, 0x98}, {9, 0x99}, {9, 0x9A}, {6, 0x18}, {9, 0x9B}};
constexpr Code BlackMakeUp[27] = {
    {10, 0x0F}, {12, 0xC8}, {12, 0xC9}, {12, 0x5B}, {12, 0x33}, {12, 0x34}, {12, 0x35},
    {13, 0x6C}, {13, 0x6D}, {13, 0x4A}, {13, 0x4B}, {13, 0x4C}, {13, 0x4D}, {13, 0x72},
    {13, 0x73}, {13, 0x74}, {13, 0x75}, {13, 0x76}, {13, 0x77}, {13, 0x52}, {13, 0x53},
    {13, 0x54}, {13, 0x55}, {13, 0x5A}, {13, 0x5B}, {13, 0x64}, {13, 0x65}};
// Make-up codes both colours share, runs 1792, 1856 .. 2560.
constexpr Code ExtendedMakeUp[13] = {{11, 0x08}, {11, 0x0C}, {11, 0x0D}, {12, 0x12}, {12, 0x13},
                                     {12, 0x14}, {12, 0x15}, {12, 0x16}, {12, 0x17}, {12, 0x1C},
                                     {12, 0x1D}, {12, 0x1E}, {12, 0x1F}};
constexpr Code Pass{4, 0x1}, Horizontal{3, 0x1}, Eol{12, 0x1};
// Vertical modes by b1 - a1 + 3: VR3, VR2, VR1, V0, VL1, VL2, VL3.
constexpr Code Vertical[7] = {{7, 0x03}, {6, 0x03}, {3, 0x03}, {1, 0x1}, {3, 0x02}, {6, 0x02}, {7, 0x02}};

// Codes collect in a 64-bit word and leave it four bytes at a time.
class BitWriter {
public:
    explicit BitWriter(QByteArray &out) : m_out(out) {}

    void put(Code code) {
        m_bits = m_bits << code.length | code.bits;
        m_count += code.length;
        if (m_count >= 32) {
            m_count -= 32;
            const quint32 word = qToBigEndian(quint32(m_bits >> m_count));
            m_out.append(reinterpret_cast<const char *>(&word), 4);
        }
    }

    qint64 bitCount() const { return qint64(m_out.size()) * 8 + m_count; }

    void flush() {
        while (m_count >= 8) {
            m_count -= 8;
            m_out.append(char(m_bits >> m_count));
        }
        if (m_count > 0)
            m_out.append(char(m_bits << (8 - m_count)));
        m_count = 0;
    }

private:
    QByteArray &m_out;
    quint64 m_bits = 0;
    int m_count = 0;
};

void putRun(BitWriter &writer, int run, bool black) {
    // The colour's tables are chosen once: GCC's sanitizer build misjudges the index of a
    // conditional array expression inside the branches (it reports -1 for a run of 64 or more).
    const Code *makeUp = black ? BlackMakeUp : WhiteMakeUp;
    const Code *terminating = black ? BlackTerminating : WhiteTerminating;
    while (run >= 2624) {
        writer.put(ExtendedMakeUp[12]);
        run -= 2560;
    }
    if (run >= 1792) {
        writer.put(ExtendedMakeUp[(run - 1792) / 64]);
        run -= (run / 64) * 64;
    } else if (run >= 64) {
        writer.put(makeUp[run / 64 - 1]);
        run %= 64;
    }
    writer.put(terminating[run]);
}

// A row as 64-bit words, pixel 0 in the top bit; bits past the width are 0 (white).
class Row {
public:
    Row(int width) : m_width(width), m_words(size_t((width + 63) / 64), 0) {}

    void load(const uchar *bits) {
        std::fill(m_words.begin(), m_words.end(), 0);
        std::memcpy(m_words.data(), bits, size_t((m_width + 7) / 8));
        for (quint64 &word : m_words)
            word = qFromBigEndian(word);
        if (m_width % 64)
            m_words.back() &= ~quint64(0) << (64 - m_width % 64);
    }

    int pixel(int x) const { return x < m_width ? int(m_words[size_t(x >> 6)] >> (63 - (x & 63)) & 1) : 0; }

    // The first position from `from` on whose colour is not `colour`, or the width.
    int runEnd(int from, int colour) const {
        if (from >= m_width)
            return m_width;
        size_t i = size_t(from >> 6);
        quint64 other = (colour ? ~m_words[i] : m_words[i]) & (~quint64(0) >> (from & 63));
        while (!other) {
            if (++i == m_words.size())
                return m_width;
            other = colour ? ~m_words[i] : m_words[i];
        }
        return std::min(m_width, int(i * 64) + __builtin_clzll(other));
    }

private:
    int m_width;
    std::vector<quint64> m_words;
};

// One row against its reference row (the row above, white above the first), T.6 2-D coding.
void codeRow(BitWriter &writer, const Row &row, const Row &reference, int width) {
    int a0 = 0;
    int a1 = row.pixel(0) ? 0 : row.runEnd(0, 0);
    int b1 = reference.pixel(0) ? 0 : reference.runEnd(0, 0);
    for (;;) {
        const int b2 = b1 < width ? reference.runEnd(b1, reference.pixel(b1)) : width;
        if (b2 >= a1) {
            const int d = b1 - a1;
            if (d < -3 || d > 3) {
                const int a2 = a1 < width ? row.runEnd(a1, row.pixel(a1)) : width;
                writer.put(Horizontal);
                const bool startsWhite = a0 + a1 == 0 || row.pixel(a0) == 0;
                putRun(writer, a1 - a0, !startsWhite);
                putRun(writer, a2 - a1, startsWhite);
                a0 = a2;
            } else {
                writer.put(Vertical[d + 3]);
                a0 = a1;
            }
        } else {
            writer.put(Pass);
            a0 = b2;
        }
        if (a0 >= width)
            break;
        const int colour = row.pixel(a0);
        a1 = row.runEnd(a0, colour);
        b1 = reference.runEnd(reference.runEnd(a0, 1 - colour), colour);
    }
}

}  // namespace

struct G4RowCoder::State {
    explicit State(int w) : width(w), writer(code.bytes), reference(w), row(w) {
        code.bytes.reserve(64 * 1024);
    }
    int width;
    G4Code code;
    BitWriter writer;
    Row reference, row;
};

G4RowCoder::G4RowCoder(int width, const uchar *reference) : m_state(std::make_unique<State>(width)) {
    if (reference)
        m_state->reference.load(reference);
}

G4RowCoder::~G4RowCoder() = default;

void G4RowCoder::code(const uchar *row) {
    State &s = *m_state;
    s.row.load(row);
    codeRow(s.writer, s.row, s.reference, s.width);
    std::swap(s.row, s.reference);
}

G4Code G4RowCoder::finish(bool endOfPage) {
    State &s = *m_state;
    if (endOfPage) {
        s.writer.put(Eol);
        s.writer.put(Eol);
    }
    s.code.bits = s.writer.bitCount();
    s.writer.flush();
    return std::move(s.code);
}

G4Code codeG4Rows(const QImage &mono, int first, int end, bool endOfPage) {
    G4RowCoder coder(mono.width(), first > 0 ? mono.constScanLine(first - 1) : nullptr);
    for (int y = first; y < end; ++y)
        coder.code(mono.constScanLine(y));
    return coder.finish(endOfPage);
}

QByteArray codeG4(const QImage &mono) {
    return codeG4Rows(mono, 0, mono.height(), true).bytes;
}

QByteArray joinG4(const G4Code &head, const G4Code &tail) {
    const qsizetype whole = qsizetype(head.bits / 8);
    const int shift = int(head.bits % 8);
    const qsizetype tailBytes = qsizetype((tail.bits + 7) / 8);
    QByteArray out;
    out.reserve(whole + tailBytes + 1);
    out.append(head.bytes.constData(), whole);
    if (shift == 0) {
        out.append(tail.bytes.constData(), tailBytes);
        return out;
    }
    // Each tail byte moves right by the head's loose bits; the bits it pushes out start the
    // next byte.
    uchar carry = uchar(head.bytes.at(whole)) & uchar(0xff00 >> shift);
    const auto *bits = reinterpret_cast<const uchar *>(tail.bytes.constData());
    for (qsizetype i = 0; i < tailBytes; ++i) {
        out.append(char(carry | bits[i] >> shift));
        carry = uchar(bits[i] << (8 - shift));
    }
    if (out.size() < qsizetype((head.bits + tail.bits + 7) / 8))
        out.append(char(carry));
    return out;
}

}  // namespace sendmere::render::detail
