// The log pane as the event log's sink: batches, order and responsiveness under a flood.
#include "ui/qt/log_pane.h"

#include <time.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "ui/qt/kestrom_dlg.h"
#include "ui_test_support.h"

namespace {

// CPU time the calling thread has used, in ms: the window's own work, whatever else the
// machine runs (ctest runs twice as many tests as there are cores, sanitizers slow the rest).
qint64 thread_cpu_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<qint64>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

}  // namespace

class LogPaneTest : public QObject {
    Q_OBJECT

private slots:
    void aBatchIsCutAfterALineEndOrBetweenCharactersNeverInsideOne() {
        struct Case {
            const char* what;
            std::string_view text;
            std::size_t max;
            std::size_t length;
        };
        const Case cases[] = {
            {"fits whole", "ab\ncd", 10, 5},
            {"after the last line end in reach", "ab\ncd\nef", 7, 6},
            {"a line end just at the limit", "ab\ncd\nef", 6, 6},
            {"no line end: at the limit", "abcdef", 4, 4},
            {"not inside a two-byte character", "abc\xc3\xa9z", 4, 3},
            {"not inside a three-byte character", "a\xe2\x82\xac", 3, 1},
            {"only continuation bytes: at the limit", "\x82\x82\x82", 2, 2},
        };
        for (const Case& c : cases)
            QVERIFY2(ui::LogQueue::batch_length(c.text, c.max) == c.length, c.what);
    }

    void queuedTextArrivesInTheOrderWrittenAndAClearDropsWhatIsQueued() {
        ui::LogPane pane;
        auto sink = pane.sink();
        sink->write("one ");
        sink->write("two\r\n");
        QTRY_COMPARE(pane.toPlainText(), QStringLiteral("one two\n"));
        sink->write("dropped\n");
        pane.clearLog();
        sink->write("after\n");
        QTRY_COMPARE(pane.toPlainText(), QStringLiteral("after\n"));
        sink->write("paced\n");  // no request of its own: the paced turn takes it
        QTRY_COMPARE(pane.toPlainText(), QStringLiteral("after\npaced\n"));
    }

    // A transfer's progress marks, one every ten datagrams: the first after a quiet spell is
    // posted and shown at once, the rest wait for the pane's paced turn without a post each.
    void progressMarksArePostedOnceAndTakenAtThePanesPace() {
        using Turn = ui::LogQueue::Turn;
        int posts = 0;
        ui::LogQueue queue([&posts] { ++posts; });
        std::string pane;
        const auto append = [&pane](std::string_view text) { pane.append(text); };
        queue.write(".");
        QCOMPARE(posts, 1);
        QVERIFY(queue.append_turn(append) == Turn::paced);
        for (int i = 0; i < 600; ++i) queue.write(".");
        QCOMPARE(posts, 1);
        QVERIFY(queue.append_turn(append) == Turn::paced);
        QCOMPARE(pane, std::string(601, '.'));
        QVERIFY(queue.append_turn(append) == Turn::idle);  // nothing came: quiet again
        queue.write("\n");
        QCOMPARE(posts, 2);
        // Emptying the pane ends the pace: the next text is posted at once.
        QVERIFY(queue.append_turn(append) == Turn::paced);
        QCOMPARE(queue.pace(), ui::LogQueue::kPaceInterval);  // appending a line is cheap here
        queue.discard();
        queue.write("after");
        QCOMPARE(posts, 3);
        // Where an append is dear, the pane comes back less often.
        QVERIFY(queue.append_turn([](std::string_view) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }) == Turn::paced);
        QVERIFY2(queue.pace() >= std::chrono::milliseconds(200),
                 qPrintable(QString::number(queue.pace().count())));
    }

    void aDetachedSinkDropsTextAndPostsNothing() {
        auto pane = std::make_unique<ui::LogPane>();
        auto sink = pane->sink();
        pane.reset();  // detaches
        sink->write("after the pane\n");
        std::string queued;
        sink->take_all(&queued);
        QCOMPARE(queued, std::string());
        QCoreApplication::processEvents();  // no request to a pane that is gone
    }

    void fourThreadsFloodingTheWindowLoseNothingKeepTheirOrderAndNeverStallIt() {
        constexpr int kThreads = 4;
        constexpr int kTextsPerThread = 25'000;  // 100,000 in all
        ui::KestromDlgOptions options;
        options.start_services = false;
        ui::CKestromDlg dlg(nullptr, options);
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));

        // A tick every 5 ms; the most CPU time the window's thread used between two ticks is
        // the longest stall of its own making. The time between ticks on the wall clock is only
        // shown: it also holds the time the thread stood ready while the CPUs ran others (four
        // busy writers on a small machine, other tests) or slept on the sink's lock.
        QElapsedTimer since_tick;
        qint64 longest_gap_ms = 0;    // as the clock on the wall sees it
        qint64 longest_stall_ms = 0;  // CPU time of the window's thread
        qint64 cpu_at_tick = thread_cpu_ms();
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
            longest_gap_ms = std::max(longest_gap_ms, since_tick.restart());
            const qint64 cpu = thread_cpu_ms();
            longest_stall_ms = std::max(longest_stall_ms, cpu - cpu_at_tick);
            cpu_at_tick = cpu;
        });
        since_tick.start();
        ticker.start(5);

        std::atomic<int> finished{0};
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t, &finished] {
                for (int i = 0; i < kTextsPerThread; ++i)
                    core::log_printf("writer %d text %05d\n", t, i);
                ++finished;
            });
        // The window keeps running while the writers flood it; every text must arrive.
        const int expected_lines = kThreads * kTextsPerThread;
        QElapsedTimer deadline;
        deadline.start();
        while ((finished < kThreads || dlg.logPane()->document()->blockCount() <= expected_lines) &&
               deadline.elapsed() < 120'000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        ticker.stop();
        for (auto& w : writers) w.join();
        QCOMPARE(dlg.logPane()->document()->blockCount(), expected_lines + 1);
        qInfo("longest stall of the event loop: %lld ms; longest gap between ticks: %lld ms",
              static_cast<long long>(longest_stall_ms), static_cast<long long>(longest_gap_ms));
        QVERIFY2(longest_stall_ms < 100, qPrintable(QString::number(longest_stall_ms)));

        int next[kThreads] = {};
        const QStringList lines = dlg.logPane()->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), expected_lines + 1);
        QVERIFY(lines.last().isEmpty());
        for (qsizetype n = 0; n + 1 < lines.size(); ++n) {
            const QStringList words = lines[n].split(QLatin1Char(' '));
            QVERIFY2(words.size() == 4, qPrintable(lines[n]));  // whole texts, never mixed
            const int t = words[1].toInt();
            QVERIFY(t >= 0 && t < kThreads);
            QVERIFY2(words[3].toInt() == next[t], qPrintable(lines[n]));
            ++next[t];
        }
        for (const int count : next) QCOMPARE(count, kTextsPerThread);
    }
};

KESTROM_UI_TEST_MAIN(LogPaneTest)
#include "log_pane_test.moc"
