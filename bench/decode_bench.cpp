// SPDX-License-Identifier: MIT
// The decoder and the receive rules in isolation, against memchr as the physical baseline.
// Usage: decode_bench [--json] [--smoke] [Google Benchmark flags]
#include "benchjson.h"
#include "framedecoder.h"
#include "frameencoder.h"
#include "framereceiver.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {
std::atomic<uint64_t> allocations {0};
}

void *operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

QByteArray frameBytes(int samples, int mode = 0)
{
    FrameValues values;
    values.mode = uint8_t(mode);
    for (int k = 0; k < samples; ++k) {
        values.i.push_back(int16_t(2048 + k));
        values.q.push_back(int16_t(2048 - k));
        values.s.push_back(int32_t(k % 60));
    }
    return encodeFrame(values);
}

QByteArray junk(int size)
{
    QByteArray bytes(size, '\0');
    uint32_t state = 12345;
    for (char &c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = char(state >> 24);
        if (uchar(c) == 0xA2)
            c = 0x22;
    }
    return bytes;
}

void decodeAt(benchmark::State &state, const QByteArray &buffer)
{
    FrameDecoder decoder;
    frame_t record;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decoder.decodeFrame(buffer.constData(), buffer.size(), record));
        resetFrame(record); // as the worker does between calls
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * buffer.size());
}

void BM_Decode128(benchmark::State &state) { decodeAt(state, frameBytes(128)); }
void BM_Decode255(benchmark::State &state) { decodeAt(state, frameBytes(255)); }
void BM_DecodeBehind4KiBJunk(benchmark::State &state) { decodeAt(state, junk(4096) + frameBytes(128)); }
void BM_Scan64KiBJunk(benchmark::State &state) { decodeAt(state, junk(65536)); }

void BM_Memchr64KiBJunk(benchmark::State &state)
{
    const QByteArray buffer = junk(65536);
    for (auto _ : state)
        benchmark::DoNotOptimize(std::memchr(buffer.constData(), 0xA2, size_t(buffer.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * buffer.size());
}

void BM_ReceiverStream1MiB(benchmark::State &state)
{
    QByteArray stream;
    const QByteArray frame = frameBytes(128, 1);
    while (stream.size() < (1 << 20))
        stream += frame;
    FrameDecoder decoder;
    frame_t record;
    int64_t frames = 0;
    const FrameReceiver::FrameSink sink = [&frames](const frame_t &, const char *, int) { ++frames; };
    for (auto _ : state) {
        FrameReceiver receiver;
        for (int at = 0; at < stream.size(); at += 256)
            receiver.receive(stream.constData() + at, std::min(256, int(stream.size()) - at), decoder, record, sink);
    }
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * stream.size());
}

BENCHMARK(BM_Decode128);
BENCHMARK(BM_Decode255);
BENCHMARK(BM_DecodeBehind4KiBJunk);
BENCHMARK(BM_Scan64KiBJunk);
BENCHMARK(BM_Memchr64KiBJunk);
BENCHMARK(BM_ReceiverStream1MiB);

// Collects each benchmark's time per iteration and rate for the summary.
class Collector : public benchmark::ConsoleReporter
{
public:
    explicit Collector(bool quiet)
        : quiet(quiet)
    {
    }
    bool ReportContext(const Context &context) override { return quiet || ConsoleReporter::ReportContext(context); }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const QString name = QString::fromStdString(run.benchmark_name());
            figures.add(name + " ns", run.GetAdjustedRealTime(), "ns per call");
            const auto bytes = run.counters.find("bytes_per_second");
            if (bytes != run.counters.end())
                figures.add(name + " MB/s", bytes->second.value / 1e6, "MB/s");
            const auto frames = run.counters.find("frames/s");
            if (frames != run.counters.end())
                figures.add(name + " frames/s", frames->second.value, "frames/s");
        }
        if (!quiet)
            ConsoleReporter::ReportRuns(runs);
    }
    Figures figures;

private:
    bool quiet;
};

double allocationsPerFrame(bool emitCopies)
{
    const QByteArray frame = frameBytes(128);
    FrameDecoder decoder;
    frame_t record;
    for (int k = 0; k < 100; ++k) { // steady state: capacities reached
        decoder.decodeFrame(frame.constData(), frame.size(), record);
        resetFrame(record);
    }
    const int frames = 10000;
    const uint64_t before = allocations.load();
    for (int k = 0; k < frames; ++k) {
        decoder.decodeFrame(frame.constData(), frame.size(), record);
        if (emitCopies) {
            frame_t copy = record; // what a queued signal carries
            benchmark::DoNotOptimize(copy);
            resetFrame(record);
        } else {
            resetFrame(record);
        }
    }
    return double(allocations.load() - before) / frames;
}

} // namespace

int main(int argc, char **argv)
{
    bool json = false;
    std::vector<char *> args;
    std::string minTime = "--benchmark_min_time=0.2";
    for (int k = 0; k < argc; ++k) {
        if (std::strcmp(argv[k], "--json") == 0)
            json = true;
        else if (std::strcmp(argv[k], "--smoke") == 0)
            minTime = "--benchmark_min_time=0.01";
        else
            args.push_back(argv[k]);
    }
    args.insert(args.begin() + 1, minTime.data());
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    Collector collector(json);
    benchmark::RunSpecifiedBenchmarks(&collector);
    collector.figures.add("heap allocations per decode, steady state", allocationsPerFrame(false), "per frame");
    collector.figures.add("heap allocations per decode + emitted copy", allocationsPerFrame(true), "per frame");
    collector.figures.print("decode_bench", json);
    return 0;
}
