// SPDX-License-Identifier: MIT
// The decoder on arbitrary bytes, checking its contract as it runs.
#include "framedecoder.h"
#include "frameencoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

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
    if (size > 1 << 20)
        return 0;
    const auto *bytes = reinterpret_cast<const char *>(data);
    const int length = int(size);

    // A record that comes in with content must leave untouched on failure.
    frame_t before;
    before.modulation = 7;
    before.sample_count = 3;
    before.i_samples = {1, 2, 3};
    frame_t record = before;
    FrameDecoder::Details details;
    details.wantSpectrum = true;
    const int status = FrameDecoder().decodeFrame(bytes, length, record, details);
    check(status == 0 || status == 2 || status == 4 || status == 5, "status is 0, 2, 4 or 5");

    frame_t plain = before;
    check(FrameDecoder().decodeFrame(bytes, length, plain) == status, "both overloads agree");
    if (status != 0) {
        check(record == before && plain == before, "record untouched on failure");
        check((status == 2) == (details.frameStart < 0), "a committed frame is located");
        return 0;
    }

    const int n = record.sample_count;
    const int m = record.modulation == 0 ? n : n / 2;
    check(record.modulation == 0 || record.modulation == 1, "mode is 0 or 1");
    check(int(record.i_samples.size()) == n && int(record.q_samples.size()) == n, "sample arrays hold n");
    check(record.i_series.size() == n && record.q_series.size() == n, "raw series hold n points");
    check(record.fft_bins.size() == m, "spectrum bins hold m points");
    check(record.fft_series.size() == (n ? m + 1 : 0), "plotted spectrum holds m + 1 points");
    check(details.frameStart >= 0 && details.frameLength == 8 * n + 7
              && details.frameStart + details.frameLength <= length,
          "the frame lies inside the buffer");

    // Encoding the decoded values again gives back the frame's own bytes.
    FrameValues values;
    values.mode = uint8_t(record.modulation);
    values.byte3 = data[details.frameStart + 3];
    values.i = record.i_samples;
    values.q = record.q_samples;
    values.s = details.spectrum;
    const QByteArray again = encodeFrame(values);
    check(again.size() == details.frameLength
              && std::memcmp(again.constData(), bytes + details.frameStart, size_t(again.size())) == 0,
          "re-encoding gives the frame's bytes");
    for (int k = 0; k < n; ++k)
        check(record.i_series[k] == QPointF(k, record.i_samples[size_t(k)]), "I series matches I");
    for (int j = 0; j < m; ++j)
        check(record.fft_bins[j] == QPointF(j, details.spectrum[size_t(n - 1 - j)]), "bins are reversed S");
    return 0;
}
