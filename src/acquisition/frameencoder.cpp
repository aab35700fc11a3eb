// SPDX-License-Identifier: MIT
#include "frameencoder.h"

#include <QtGlobal>

namespace {
void putBigEndian(char *&out, uint32_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        *out++ = char((value >> shift) & 0xFFu);
}
} // namespace

uint8_t frameChecksum(const char *frame, int length)
{
    // Bytes 1 .. length - 3: the first header byte, the checksum and the end byte are left out.
    unsigned sum = 0;
    for (int k = 1; k < length - 2; ++k)
        sum += static_cast<unsigned char>(frame[k]);
    return uint8_t(sum & 0xFFu);
}

void appendFrame(QByteArray &out, const FrameValues &values)
{
    const int n = int(values.i.size());
    Q_ASSERT(n <= 255 && values.q.size() == values.i.size() && values.s.size() == values.i.size());
    const int length = 8 * n + 7;
    const int start = out.size();
    out.resize(start + length);
    char *p = out.data() + start;
    char *const frame = p;
    *p++ = char(0xA2);
    *p++ = char(0xE0);
    *p++ = char(values.mode);
    *p++ = char(values.byte3);
    *p++ = char(n);
    for (int16_t v : values.i)
        putBigEndian(p, uint16_t(v), 2);
    for (int16_t v : values.q)
        putBigEndian(p, uint16_t(v), 2);
    for (int32_t v : values.s)
        putBigEndian(p, uint32_t(v), 4);
    *p++ = char(frameChecksum(frame, length));
    *p++ = char(0x16);
}

QByteArray encodeFrame(const FrameValues &values)
{
    QByteArray out;
    appendFrame(out, values);
    return out;
}
