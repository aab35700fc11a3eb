// SPDX-License-Identifier: MIT
// The telnet layer of an rfc2217:// port on fuzzer-chosen server bytes, fed in fuzzer-chosen
// pieces: the data, the answers and the verdict on the server do not depend on where the reads
// were cut, the data is never longer than the input, the answers stay within a few per option
// however many requests come, and a server's stream of escaped data comes back exactly.
#include "rfc2217codec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Every option answered at most kMostAnswersPerOption times each way (3 bytes each), and the line
// settings once (5 commands of at most 14 bytes, a rate's 0xFF bytes doubled).
constexpr int kMostReplyBytes = 2 * 256 * Rfc2217Codec::kMostAnswersPerOption * 3 + 5 * 14;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "contract broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte seeds the cut points; the rest is what the server sent.
    uint32_t cuts = uint32_t(data[0]) * 2654435761u + 1u;
    const char *stream = reinterpret_cast<const char *>(data + 1);
    const int length = int(size - 1);

    Rfc2217Codec whole;
    whole.opening(115200);
    QByteArray wholeData, wholeReply;
    whole.receive(stream, length, wholeData, wholeReply);

    Rfc2217Codec pieces;
    pieces.opening(115200);
    QByteArray pieceData, pieceReply;
    for (int at = 0; at < length;) {
        cuts = cuts * 1664525u + 1013904223u;
        const int piece = 1 + int((cuts >> 16) % 17);
        const int take = piece < length - at ? piece : length - at;
        pieces.receive(stream + at, take, pieceData, pieceReply);
        at += take;
    }
    check(pieceData == wholeData, "the data depends on where the reads were cut");
    check(pieceReply == wholeReply, "the answers depend on where the reads were cut");
    check(pieces.error() == whole.error(), "the verdict depends on where the reads were cut");
    check(wholeData.size() <= length, "more data than input");
    check(wholeReply.size() <= kMostReplyBytes, "answers without bound");

    // The same bytes as board data, escaped as a server sends them, come back unchanged.
    QByteArray escaped;
    for (int k = 0; k < length; ++k) {
        escaped.append(stream[k]);
        if (uint8_t(stream[k]) == Rfc2217Codec::IAC)
            escaped.append(stream[k]);
    }
    Rfc2217Codec plain;
    QByteArray plainData, plainReply;
    plain.receive(escaped.constData(), escaped.size(), plainData, plainReply);
    check(plainData == QByteArray(stream, length), "escaped data did not come back");
    check(plainReply.isEmpty(), "plain data was answered");
    return 0;
}
