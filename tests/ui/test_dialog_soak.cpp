// Load over time: a module that floods the line at 115200 baud, and many
// Open / Get Info / Close cycles against the simulated module. Short by
// default; VENDRILL_FLOOD_SECONDS and VENDRILL_SOAK_CYCLES make it longer.
// Figures go to the test's output (qInfo) for scripts/soak.sh.
#include "DialogTestUtil.h"

#include "sim/SimHost.h"
#include "ui/ControlTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QThreadPool>
#include <QTimer>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

using namespace vendrill;

namespace {

int EnvInt(const char* name, int fallback, int low, int high)
{
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        return fallback;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    if (*end != '\0' || n < low || n > high)
        return fallback;
    return static_cast<int>(n);
}

// Resident set size in kB.
long RssKb()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

// Names of the process's threads, for the figures.
QString ThreadNames()
{
    QStringList names;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& t : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream comm(("/proc/self/task/" + t + "/comm").toStdString());
        std::string name;
        std::getline(comm, name);
        names << QString::fromStdString(name);
    }
    return names.join(QLatin1Char(','));
}

// The flood's bytes: 8-byte records "S" + six-digit record number + ".", so
// that any stretch of 16 bytes tells where in the stream it came from.
constexpr std::size_t kRecord = 8;
std::string Records(std::size_t first, std::size_t count)
{
    std::string out;
    out.reserve(count * kRecord);
    char rec[kRecord + 1];
    for (std::size_t r = first; r < first + count; ++r) {
        std::snprintf(rec, sizeof rec, "S%06zu.", r % 1000000);
        out.append(rec, kRecord);
    }
    return out;
}

// Bytes of one log line (" 53 30 ..."); false if it is not hexadecimal pairs.
bool FromHexLine(const QString& line, std::string& out)
{
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& p : parts) {
        bool ok = false;
        const uint v = p.toUInt(&ok, 16);
        if (!ok || p.size() != 2)
            return false;
        out.push_back(static_cast<char>(v));
    }
    return true;
}

// Whether `got` is `sent` with some stretches taken out, nothing altered,
// repeated or reordered. Counts the stretches and the bytes taken out.
struct DropCheck {
    bool ok = true;
    std::size_t at = 0;  // offset in `got` of the first byte that fits nowhere
    int gaps = 0;
    std::size_t dropped = 0;
};
DropCheck CheckOnlyDrops(const std::string& got, const std::string& sent)
{
    DropCheck c;
    std::size_t i = 0, p = 0;
    while (i < got.size()) {
        if (p < sent.size() && got[i] == sent[p]) {
            ++i;
            ++p;
            continue;
        }
        // A gap: the rest carries on at a later place of the stream.
        const std::size_t m = std::min<std::size_t>(24, got.size() - i);
        const std::size_t next = sent.find(got.substr(i, m), p + 1);
        if (next == std::string::npos) {
            c.ok = false;
            c.at = i;
            return c;
        }
        ++c.gaps;
        p = next;
    }
    if (p < sent.size())
        ++c.gaps;  // the stream's end was dropped
    c.dropped = sent.size() - got.size();
    return c;
}

const QString kLevel1 = QStringLiteral("Mode 1 (Not Use Pinkey)");

}  // namespace

class DialogSoakTest : public QObject {
    Q_OBJECT

private slots:
    // A module that streams unsolicited bytes at 115200 baud (11,520 bytes/s)
    // while the window now and then lags: chunks that do not fit are dropped
    // whole, the log stays at its cap, memory and CPU stay bounded, and a
    // normal Get Info works afterwards.
    void aFloodingModuleIsSurvived()
    {
        const int seconds = EnvInt("VENDRILL_FLOOD_SECONDS", 10, 1, 3600);
        constexpr int kLogCap = 2000;
        auto peer = std::make_unique<PtyPeer>();
        QVERIFY(peer->Ok());
        // The window stays hidden: painting would start Qt's own pooled
        // drawing threads, which come and go on their own clock and would
        // blur the thread and descriptor counts of the next test.
        RecordingDialog d;
        auto* log = qobject_cast<QPlainTextEdit*>(d->GetDlgItem(idc::ReceiveLog));
        QVERIFY(log);

        // An earlier session's log, just under the cap, so that the flood
        // pushes it over.
        QString earlier;
        for (int k = 0; k < kLogCap - 10; ++k)
            earlier += QStringLiteral("earlier line %1\n").arg(k);
        log->setPlainText(earlier);
        log->moveCursor(QTextCursor::End);

        // What reaches the log, one line per batch, and its largest size.
        QStringList lines;
        int maxBlocks = log->blockCount();
        connect(log, &QPlainTextEdit::blockCountChanged, this, [&](int n) { maxBlocks = std::max(maxBlocks, n); });
        connect(log, &QPlainTextEdit::textChanged, this, [&] {
            QTextBlock b = log->document()->lastBlock();
            if (b.text().isEmpty())
                b = b.previous();
            const QString t = b.text();
            if (!t.startsWith(QLatin1String("earlier")) && (lines.isEmpty() || lines.back() != t))
                lines << t;
        });

        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));

        // The window lags now and then, as one busy with something else:
        // meanwhile the watcher cannot hand over, and the line backs up.
        QTimer lag;
        lag.setInterval(1000);
        connect(&lag, &QTimer::timeout, this, [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });

        // Memory and largest log size while the flood runs.
        long rssWarm = -1, rssPeak = 0;
        QElapsedTimer clock;
        QTimer sampler;
        sampler.setInterval(250);
        connect(&sampler, &QTimer::timeout, this, [&] {
            const long rss = RssKb();
            rssPeak = std::max(rssPeak, rss);
            if (rssWarm < 0 && clock.elapsed() >= std::min(2000, seconds * 200))
                rssWarm = rss;
        });

        // The writer: 576 bytes (72 records) every 50 ms on a fixed schedule.
        constexpr std::size_t kRecordsPerTick = 72;
        const int ticks = seconds * 20;
        std::atomic<bool> writerDone{false};
        std::atomic<bool> writeFailed{false};
        std::atomic<std::size_t> recordsSent{0};
        const PtyPeer* line = peer.get();
        const double cpuStart = CpuMs();
        clock.start();
        lag.start();
        sampler.start();
        std::thread writer([&] {
            auto next = std::chrono::steady_clock::now();
            for (int t = 0; t < ticks; ++t) {
                const std::string piece = Records(recordsSent.load(), kRecordsPerTick);
                if (!line->Write(piece)) {
                    writeFailed = true;
                    break;
                }
                recordsSent += kRecordsPerTick;
                next += std::chrono::milliseconds(50);
                std::this_thread::sleep_until(next);  // pacing of the line
            }
            writerDone = true;
        });
        const bool finished = QTest::qWaitFor([&] { return writerDone.load(); }, (seconds + 60) * 1000);
        writer.join();
        QVERIFY(finished);
        QVERIFY(!writeFailed);
        lag.stop();

        // Whatever is still on the line or in the queue is taken.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                int waiting = 0;
                ::ioctl(peer->SlaveFd(), FIONREAD, &waiting);
                return waiting == 0 && d->Session().QueuedBytes() == 0;
            }(),
            10000);
        const double wallMs = static_cast<double>(clock.elapsed());
        const double cpuMs = CpuMs() - cpuStart;
        sampler.stop();
        const long rssEnd = RssKb();
        rssPeak = std::max(rssPeak, rssEnd);

        // A last short piece on the quiet line fits into the empty queue and
        // marks the end of the stream in the log.
        const std::string sentinel = "END!";
        QVERIFY(peer->Write(sentinel));
        const QString sentinelHex = QString::fromStdString(
            proto::HexLogLine(reinterpret_cast<const std::uint8_t*>(sentinel.data()), sentinel.size()));
        QTRY_VERIFY_WITH_TIMEOUT(!lines.isEmpty() && lines.back().endsWith(sentinelHex), 10000);

        std::string got;
        for (const QString& l : lines)
            QVERIFY2(FromHexLine(l, got), qPrintable(l.left(80)));
        QVERIFY(got.size() >= sentinel.size());
        QCOMPARE(got.substr(got.size() - sentinel.size()), sentinel);
        got.resize(got.size() - sentinel.size());
        const std::string sent = Records(0, recordsSent.load());
        const DropCheck check = CheckOnlyDrops(got, sent);
        QVERIFY2(check.ok, qPrintable(QStringLiteral("log bytes at %1 fit nowhere in the stream: %2")
                                          .arg(check.at)
                                          .arg(QString::fromStdString(got.substr(check.at, 24)))));

        const int fulls = static_cast<int>(d.messages.count(kFull));
        QCOMPARE(d.messages.count(), fulls);  // no other box
        QVERIFY(fulls >= 1);
        QVERIFY(check.dropped > 0);
        // Every stretch missing from the log was announced by a box, and no
        // box stands for more than the one chunk (at most 1023 bytes) it drops.
        QVERIFY(check.gaps <= fulls);
        QVERIFY(check.dropped <= static_cast<std::size_t>(fulls) * (CQueue::QUEUE_SIZE - 1));
        QVERIFY(maxBlocks <= kLogCap);
        QVERIFY(log->blockCount() <= kLogCap);
        QVERIFY(rssWarm > 0);
        QVERIFY2(rssEnd - rssWarm < 20 * 1024, qPrintable(QStringLiteral("RSS %1 kB -> %2 kB").arg(rssWarm).arg(rssEnd)));
        QVERIFY2(cpuMs < 0.5 * wallMs, qPrintable(QStringLiteral("CPU %1 ms in %2 ms").arg(cpuMs).arg(wallMs)));

        qInfo("flood: %d s at 11520 bytes/s, %zu bytes sent, %zu logged, %zu dropped in %d stretches, "
              "%d \"m_QueueRead FULL!\" boxes, %lld log lines (max %d blocks)",
              seconds, sent.size(), got.size(), check.dropped, check.gaps, fulls,
              static_cast<long long>(lines.size()), maxBlocks);
        qInfo("flood: RSS warm %ld kB, peak %ld kB, end %ld kB; CPU %.0f ms over %.0f ms wall (%.1f %%)", rssWarm,
              rssPeak, rssEnd, cpuMs, wallMs, 100.0 * cpuMs / wallMs);

        // Afterwards a normal module on a fresh line answers as usual.
        d->OnBnClickedClose();
        QVERIFY(!d->IsWatcherRunning());
        peer.reset();
        CSimHost sim;
        QVERIFY(sim.Start());
        ::setenv("VENDRILL_COM1", sim.SlavePath().c_str(), 1);
        d->OnBnClickedOpen();
        QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
        d->OnBnClickedGetInfo();
        QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), kLevel1, 10000);
        QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("00190199A1B2"));
        QCOMPARE(Text(d->m_CurrentPinKey), QStringLiteral("0000"));
        QCOMPARE(Text(d->m_CurrentBDN), QStringLiteral("VENDRILL-PRN"));
        QCOMPARE(d.messages.count(), fulls);
        d->OnBnClickedClose();
        ::unsetenv("VENDRILL_COM1");
    }

    // Open / Get Info / Close, over and over, against one simulated module:
    // the same values every time, and nothing left behind.
    void manyOpenGetInfoCloseCycles()
    {
        const int cycles = EnvInt("VENDRILL_SOAK_CYCLES", 24, 1, 1000000);
        CSimHost sim;
        QVERIFY(sim.Start());
        ::setenv("VENDRILL_COM1", sim.SlavePath().c_str(), 1);
        RecordingDialog d;

        auto cycle = [&] {
            d->OnBnClickedOpen();
            if (d->m_Status != "Success")
                return false;
            d->OnBnClickedGetInfo();
            const bool done = QTest::qWaitFor([&] { return Text(d->m_CurrentLevel) == kLevel1; }, 10000);
            d->OnBnClickedClose();
            return done;
        };
        // One cycle first, so that lazily made resources count as the start.
        QVERIFY(cycle());
        // Qt's pooled worker threads (used by earlier tests) come and go on
        // their own clock; the counts are taken without them.
        QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
        const int fds = EntriesOf("/proc/self/fd");
        const int tasks = EntriesOf("/proc/self/task");
        const QString threadsAtStart = ThreadNames();
        const int timers = static_cast<int>(d->findChildren<QTimer*>().size());
        const long rssStart = RssKb();
        long rssPeak = rssStart;
        const std::uint64_t requestsStart = sim.RequestCount();
        const double cpuStart = CpuMs();
        QElapsedTimer clock;
        clock.start();

        for (int k = 0; k < cycles; ++k) {
            d->OnBnClickedOpen();
            QCOMPARE(Text(d->m_Status), QStringLiteral("Success"));
            d->OnBnClickedGetInfo();
            QTRY_COMPARE_WITH_TIMEOUT(Text(d->m_CurrentLevel), kLevel1, 10000);
            QCOMPARE(Text(d->m_CurrentBDA), QStringLiteral("00190199A1B2"));
            QCOMPARE(Text(d->m_CurrentPinKey), QStringLiteral("0000"));
            QCOMPARE(Text(d->m_CurrentBDN), QStringLiteral("VENDRILL-PRN"));
            QVERIFY(!d->Session().IsBusy());
            QVERIFY(!d->IsTimer1Running());
            d->OnBnClickedClose();
            QVERIFY(!d->IsWatcherRunning());
            QVERIFY(d->m_CurrentBDA.empty());
            if (k % 10 == 0)
                rssPeak = std::max(rssPeak, RssKb());
        }
        const double wallMs = static_cast<double>(clock.elapsed());
        const double cpuMs = CpuMs() - cpuStart;
        const long rssEnd = RssKb();
        rssPeak = std::max(rssPeak, rssEnd);
        QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
        // The watcher joined just before the first count may still be listed in
        // it: the count may fall, never grow.
        const bool tasksBack = QTest::qWaitFor([&] { return EntriesOf("/proc/self/task") <= tasks; }, 10000);
        const int fdsEnd = EntriesOf("/proc/self/fd");
        const int tasksEnd = EntriesOf("/proc/self/task");

        qInfo("soak: %d cycles in %.1f s (%.0f ms per cycle), %llu requests answered",
              cycles, wallMs / 1000.0, wallMs / cycles,
              static_cast<unsigned long long>(sim.RequestCount() - requestsStart));
        qInfo("soak: RSS start %ld kB, peak %ld kB, end %ld kB; fds %d -> %d; threads %d -> %d; CPU %.1f %%",
              rssStart, rssPeak, rssEnd, fds, fdsEnd, tasks, tasksEnd, 100.0 * cpuMs / wallMs);

        qInfo("soak: threads at start [%s], at end [%s]", qPrintable(threadsAtStart), qPrintable(ThreadNames()));
        QVERIFY(tasksBack);
        QCOMPARE(fdsEnd, fds);
        QVERIFY(tasksEnd <= tasks);
        QCOMPARE(static_cast<int>(d->findChildren<QTimer*>().size()), timers);
        for (const QTimer* t : d->findChildren<QTimer*>())
            QVERIFY(!t->isActive());
        QCOMPARE(sim.RequestCount() - requestsStart, static_cast<std::uint64_t>(cycles) * 4);
        QVERIFY(d.messages.isEmpty());
        QVERIFY(rssEnd - rssStart < 20 * 1024);
        ::unsetenv("VENDRILL_COM1");
    }
};

QTEST_MAIN(DialogSoakTest)
#include "test_dialog_soak.moc"
