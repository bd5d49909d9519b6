// Receive path throughput: the queue between reader thread and window, and
// the Qt-free half of reply handling (accumulate, take out, decode, log
// line), per byte, against the time one byte takes on the line at 115200 baud.
#include "BenchRow.h"

#include "link/Queue.h"
#include "protocol/Protocol.h"
#include "sim/ModuleSim.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <map>
#include <thread>

using namespace vendrill;

namespace {

// 115200 baud, one start bit, 8 data bits, one stop bit: 10 bits per byte.
constexpr double kLineNsPerByte = 1e9 / (115200.0 / 10.0);

void SetBytes(benchmark::State& state, double bytesPerIteration)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerIteration));
    state.counters["bytes_per_iter"] = bytesPerIteration;
}

// The reader thread stores a chunk, the window drains it byte by byte.
void BM_QueueStoreDrain(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    CQueue queue;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(n), 0x5A);
    std::uint8_t out[CQueue::QUEUE_SIZE];
    for (auto _ : state) {
        if (!StoreChunk(queue, chunk.data(), n))
            state.SkipWithError("chunk did not fit");
        const int count = queue.GetCount();
        for (int i = 0; i < count; ++i)
            queue.GetByte(&out[i]);
        benchmark::DoNotOptimize(out);
    }
    SetBytes(state, n);
}
BENCHMARK(BM_QueueStoreDrain)->Arg(17)->Arg(1023)->Unit(benchmark::kNanosecond);

// Producer and consumer on two threads, as in the program: the cost per byte
// includes handing the indices from one core to the other.
void BM_QueueTwoThreads(benchmark::State& state)
{
    constexpr int kChunk = 64;
    constexpr long kBytes = 1L << 18;
    for (auto _ : state) {
        CQueue queue;
        std::atomic<bool> done{false};
        std::thread producer([&] {
            std::uint8_t chunk[kChunk];
            std::memset(chunk, 0x33, sizeof chunk);
            for (long sent = 0; sent < kBytes;) {
                if (StoreChunk(queue, chunk, kChunk))
                    sent += kChunk;
                else
                    std::this_thread::yield();
            }
            done = true;
        });
        long received = 0;
        std::uint8_t b = 0;
        while (received < kBytes) {
            const int count = queue.GetCount();
            if (count == 0) {
                std::this_thread::yield();
                continue;
            }
            for (int i = 0; i < count; ++i)
                queue.GetByte(&b);
            received += count;
        }
        producer.join();
        benchmark::DoNotOptimize(b);
    }
    SetBytes(state, static_cast<double>(kBytes));
}
BENCHMARK(BM_QueueTwoThreads)->Unit(benchmark::kNanosecond)->UseRealTime();

// One drained batch holding a whole reply, through the same steps as the
// window: accumulate and take out, decode, build the log line.
void ReplyPath(benchmark::State& state, const proto::Bytes& reply, int pieces)
{
    const auto parts = SplitBytes(reply, pieces);
    std::string acc;
    for (auto _ : state) {
        for (const auto& part : parts) {
            const proto::ReceiveStep step = proto::Receive(acc, part.data(), part.size());
            std::string line = proto::HexLogLine(part.data(), part.size());
            benchmark::DoNotOptimize(line);
            if (step.complete) {
                const proto::Reply r = proto::ParseReply(step.reply);
                benchmark::DoNotOptimize(r);
            }
        }
    }
    SetBytes(state, static_cast<double>(reply.size()));
}

void BM_DecodeNameReply(benchmark::State& state) { ReplyPath(state, MakeReply('1', "VENDRILL-PRN"), 1); }
BENCHMARK(BM_DecodeNameReply)->Unit(benchmark::kNanosecond);

void BM_DecodeNameReplySplit(benchmark::State& state) { ReplyPath(state, MakeReply('1', "VENDRILL-PRN"), 3); }
BENCHMARK(BM_DecodeNameReplySplit)->Unit(benchmark::kNanosecond);

void BM_DecodeLongestReply(benchmark::State& state)
{
    ReplyPath(state, MakeReply('1', std::string(proto::MAX_TEXT_BYTES, 'N')), 1);
}
BENCHMARK(BM_DecodeLongestReply)->Unit(benchmark::kNanosecond);

// Line noise without a frame: accumulated until the text limit drops it.
void BM_DecodeNoise(benchmark::State& state)
{
    ReplyPath(state, proto::Bytes(50, 0x55), 1);
}
BENCHMARK(BM_DecodeNoise)->Unit(benchmark::kNanosecond);

// Keeps the console output and remembers each run's time per byte.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nsPerByte;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const auto it = run.counters.find("bytes_per_iter");
            if (it == run.counters.end() || it->second.value <= 0)
                continue;
            const double ns = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            nsPerByte[run.benchmark_name()] = ns / it->second.value;
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const struct {
        const char* name;
        const char* figure;
    } rows[] = {
        {"BM_QueueStoreDrain/17", "Queue: store + drain, 17-byte chunk (per byte)"},
        {"BM_QueueStoreDrain/1023", "Queue: store + drain, 1023-byte chunk (per byte)"},
        {"BM_QueueTwoThreads/real_time", "Queue: reader thread -> window thread, 256 KiB (per byte)"},
        {"BM_DecodeNameReply", "Reply decode + log line, 17-byte reply in one batch (per byte)"},
        {"BM_DecodeNameReplySplit", "Reply decode + log line, same reply in 3 batches (per byte)"},
        {"BM_DecodeLongestReply", "Reply decode + log line, 64-byte reply (per byte)"},
        {"BM_DecodeNoise", "Noise without frame, accumulate + log line (per byte)"},
    };
    for (const auto& row : rows) {
        const auto it = collector.nsPerByte.find(row.name);
        if (it == collector.nsPerByte.end())
            continue;
        vbench::Row(row.figure, vbench::Fmt("%.2f ns", it->second), vbench::Fmt("%.0f ns (115200 baud line time)", kLineNsPerByte),
                    it->second / kLineNsPerByte, "far below 1");
    }
    return 0;
}
