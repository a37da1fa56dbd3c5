// The cost of one transcript append as the connection code does it: append
// 8 KiB, ScrollToEnd, and paint. Beside it, the same append done on a
// QPlainTextEdit by replacing the whole text and by inserting at the end, and
// the memory the transcript takes per character at the largest size.
//
// With the argument "view", only the TranscriptView columns, on whatever
// platform it runs; where accessibility is active (xcb with Qt's AT-SPI
// bridge on, see bench/run.sh) the view's accessible interface exists and
// every append, caret move and selection change makes its event, which goes
// on to the bridge; the events are counted on their way.
//
// With the argument "views", the same tick in each way of showing the bytes
// (Latin-1, UTF-8, hex), their memory, and the time a switch takes.
//
// Prints a Markdown table on stdout, progress on stderr.
// Run: QT_QPA_PLATFORM=offscreen bench_transcript   (or: make bench)

#include "benchsupport.h"
#include "transcriptview.h"

#include <QAccessible>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QGuiApplication>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

using bench::rssKiB;
using bench::Shape;
using bench::shapeName;

namespace {

constexpr qint64 MB = 1000 * 1000;
constexpr qint64 ChunkSize = 8192;
const std::vector<qint64> Sizes{0, 1 * MB, 10 * MB, 50 * MB, 100 * MB};

// The stream of a shape as the connection code hands it over: characters.
class Stream {
public:
    explicit Stream(Shape shape) : m_bytes(shape) { }
    QString next(qint64 n) { return QString::fromLatin1(m_bytes.next(n)); }

private:
    bench::Stream m_bytes;
};

struct Timing {
    double medianMs = -1;
    double p90Ms = -1;
    int samples = 0;
    // The CPU time of this thread in the same steps: what the step costs
    // itself, when other work on a busy machine stretches the wall clock.
    double cpuMedianMs = -1;
};

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Runs prepare (not timed) and step (timed) until there are maxSamples, or at
// least minSamples and budgetMs of timed work.
Timing measure(const std::function<void()>& prepare, const std::function<void()>& step,
               int minSamples, int maxSamples, double budgetMs)
{
    std::vector<double> ms;
    std::vector<double> cpu;
    double total = 0;
    while (int(ms.size()) < maxSamples && (int(ms.size()) < minSamples || total < budgetMs)) {
        prepare();
        QElapsedTimer timer;
        const double cpuStart = threadCpuMs();
        timer.start();
        step();
        ms.push_back(timer.nsecsElapsed() / 1e6);
        cpu.push_back(threadCpuMs() - cpuStart);
        total += ms.back();
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    return {ms[ms.size() / 2], ms[(ms.size() * 9) / 10], int(ms.size()), cpu[cpu.size() / 2]};
}

void progress(const char* what, Shape shape, qint64 size, const Timing& t)
{
    std::fprintf(stderr, "%-24s %-20s %4lld MB: %10.3f ms median, %10.3f ms 90th percentile, %d samples\n",
                 what, shapeName(shape), size / MB, t.medianMs, t.p90Ms, t.samples);
}

// The accessibility events made while the view was measured: counted, then
// handed on to the platform's bridge as if no handler were installed.
struct EventCount {
    qint64 events = 0;
    qint64 own = 0; // from the transcript itself, not its scroll bars
    qint64 inserts = 0;
    qint64 insertedChars = 0;
};
EventCount eventCount;

void countAndForward(QAccessibleEvent* event)
{
    ++eventCount.events;
    if (qobject_cast<TranscriptView*>(event->object()))
        ++eventCount.own;
    if (event->type() == QAccessible::TextInserted) {
        ++eventCount.inserts;
        eventCount.insertedChars += static_cast<QAccessibleTextInsertEvent*>(event)->textInserted().size();
    }
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(countAndForward);
}

// With accessibility active, PELLIX_BENCH_SETTLE_MS of event loop after each
// fill: time for an accessibility client to read what the fill sent (1 MB
// per event) before the timed steps, which would otherwise share the CPU with
// it.
void settle()
{
    static const int ms = qEnvironmentVariableIntValue("PELLIX_BENCH_SETTLE_MS");
    if (ms <= 0 || !QAccessible::isActive())
        return;
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// Columns of the table, by shape and size.
struct Results {
    std::map<std::pair<Shape, qint64>, Timing> view, replace, insert;
    std::map<Shape, double> bytesPerChar;
    double editBytesPerChar = -1;
    std::map<Shape, EventCount> eventsPerStep;
};

void benchView(Shape shape, Results& results)
{
    TranscriptView view;
    view.setFont(transcriptFont());
    view.resize(685, 417);
    view.show();
    // On an X server the window is mapped some events later; until then a
    // repaint paints nothing.
    const QDeadlineTimer exposed(5000);
    do
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    while (!(view.windowHandle() && view.windowHandle()->isExposed()) && !exposed.hasExpired());
    view.viewport()->repaint();
    if (QAccessible::isActive() && !QAccessible::queryAccessibleInterface(&view)->textInterface())
        qFatal("accessibility is active, but the transcript has no text interface");
    const qint64 rssEmpty = rssKiB();
    EventCount timed;

    Stream stream(shape);
    QString chunk;
    for (qint64 size : Sizes) {
        while (view.length() < size)
            view.AppendText(stream.next(std::min<qint64>(MB, size - view.length())));
        view.ScrollToEnd();
        view.viewport()->repaint();
        settle();
        const EventCount before = eventCount;
        const Timing t = measure(
            [&] { chunk = stream.next(ChunkSize); },
            [&] {
                view.AppendText(chunk);
                view.ScrollToEnd();
                view.viewport()->repaint();
            },
            51, 51, 0);
        timed.events += eventCount.events - before.events;
        timed.own += eventCount.own - before.own;
        timed.inserts += eventCount.inserts - before.inserts;
        timed.insertedChars += eventCount.insertedChars - before.insertedChars;
        results.view[{shape, size}] = t;
        progress("TranscriptView", shape, size, t);
    }
    results.eventsPerStep[shape] = timed;
    const qint64 rssFull = rssKiB();
    results.bytesPerChar[shape] = double(rssFull - rssEmpty) * 1024 / view.length();
    std::fprintf(stderr, "memory at %lld characters: %lld KiB above the empty view\n",
                 view.length(), rssFull - rssEmpty);
}

// Whole-text replacement: setPlainText(old + new), as a box whose text is
// re-assigned on every append.
void benchReplace(Shape shape, qint64 maxSize, Results& results)
{
    for (qint64 size : Sizes) {
        if (size > maxSize)
            break;
        auto edit = bench::newPlainTextEdit();
        Stream stream(shape);
        QString text = stream.next(size);
        edit->setPlainText(text);
        bench::showEnd(*edit);
        const Timing t = measure(
            [&] { text += stream.next(ChunkSize); },
            [&] {
                edit->setPlainText(text);
                bench::showEnd(*edit);
            },
            3, 15, 2000);
        results.replace[{shape, size}] = t;
        progress("QPlainTextEdit replace", shape, size, t);
    }
}

void benchInsert(Shape shape, qint64 maxSize, Results& results)
{
    for (qint64 size : Sizes) {
        if (size > maxSize)
            break;
        const qint64 rssBefore = rssKiB();
        auto edit = bench::newPlainTextEdit();
        Stream stream(shape);
        edit->setPlainText(stream.next(size));
        bench::showEnd(*edit);
        if (size == Sizes.back()) {
            results.editBytesPerChar = double(rssKiB() - rssBefore) * 1024 / size;
            std::fprintf(stderr, "QPlainTextEdit memory at %lld characters: %.2f bytes each\n",
                         size, results.editBytesPerChar);
        }
        QString chunk;
        const Timing t = measure(
            [&] { chunk = stream.next(ChunkSize); },
            [&] {
                QTextCursor cursor(edit->document());
                cursor.movePosition(QTextCursor::End);
                cursor.insertText(chunk);
                bench::showEnd(*edit);
            },
            3, 31, 2000);
        results.insert[{shape, size}] = t;
        progress("QPlainTextEdit insert", shape, size, t);
    }
}

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', ms >= 100 ? 0 : ms >= 10 ? 1 : 2) + QStringLiteral(" ms");
}

QString cell(const std::map<std::pair<Shape, qint64>, Timing>& column, Shape shape, qint64 size,
             bool withP90 = false)
{
    const auto it = column.find({shape, size});
    if (it == column.end())
        return QStringLiteral("not run");
    QString text = milliseconds(it->second.medianMs);
    if (withP90)
        text += QStringLiteral(" (90%: ") + milliseconds(it->second.p90Ms) + u')';
    return text;
}

} // namespace

// The TranscriptView columns alone, with what accessibility did during them.
int benchViewOnly()
{
    const bool wantsAccessibility = qEnvironmentVariableIsSet("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
    if (wantsAccessibility) {
        // The bridge connects to the accessibility bus after start-up.
        const QDeadlineTimer deadline(10000);
        while (!QAccessible::isActive() && !deadline.hasExpired())
            QApplication::processEvents(QEventLoop::AllEvents, 50);
        if (!QAccessible::isActive()) {
            std::fprintf(stderr, "QT_LINUX_ACCESSIBILITY_ALWAYS_ON is set, but accessibility "
                                 "did not become active within 10 s\n");
            return 1;
        }
        QAccessible::installUpdateHandler(countAndForward);
    }
    const bool active = QAccessible::isActive();
    std::fprintf(stderr, "platform %s, accessibility %s\n",
                 qPrintable(QGuiApplication::platformName()), active ? "active" : "inactive");

    Results r;
    const std::vector<Shape> shapes{Shape::Lines, Shape::OneLine, Shape::TabbedLine};
    for (Shape shape : shapes)
        benchView(shape, r);

    std::printf("TranscriptView alone, platform %s, accessibility %s. Median time of one "
                "append of 8 KiB, then the end scrolled into view and the viewport painted "
                "(widget 685x417), 90th percentile in brackets.\n\n",
                qPrintable(QGuiApplication::platformName()), active ? "**active**" : "inactive");
    std::printf("| Transcript size | 80-column lines | one line | one line with tabs |\n");
    std::printf("|---:|---:|---:|---:|\n");
    for (qint64 size : Sizes)
        std::printf("| %lld MB | %s | %s | %s |\n", size / MB,
                    qPrintable(cell(r.view, Shape::Lines, size, true)),
                    qPrintable(cell(r.view, Shape::OneLine, size, true)),
                    qPrintable(cell(r.view, Shape::TabbedLine, size, true)));
    if (active) {
        std::printf("\nAccessibility events made per timed step (all shapes and sizes): ");
        for (Shape shape : shapes) {
            const EventCount& c = r.eventsPerStep[shape];
            const double steps = 51.0 * double(Sizes.size());
            std::printf("%s%s %.2f events, %.2f of them the transcript's own, %.2f text "
                        "inserted carrying %.0f characters each",
                        shape == shapes.front() ? "" : "; ", shapeName(shape),
                        c.events / steps, c.own / steps, c.inserts / steps,
                        c.inserts ? double(c.insertedChars) / double(c.inserts) : 0.0);
        }
        std::printf(".\n");
    }
    return 0;
}

// The three ways of showing the bytes: the same tick in each, at 0, 10 and
// 100 MB (and 1 GB with PELLIX_BENCH_GB=1), the memory per byte with the
// UTF-8 index and the origin runs, and the time a switch of view takes.
int benchViews()
{
    std::vector<qint64> sizes{0, 10 * MB, 100 * MB};
    if (qEnvironmentVariableIntValue("PELLIX_BENCH_GB") == 1)
        sizes.push_back(1000 * MB);
    struct Mode {
        const char* name;
        TextEncoding encoding;
        bool hex;
    };
    const Mode modes[] = {{"Latin-1", TextEncoding::Latin1, false},
                          {"UTF-8", TextEncoding::Utf8, false},
                          {"hex", TextEncoding::Latin1, true}};
    std::printf("Median time of one append of 8 KiB (80-column lines, every 40th line with "
                "UTF-8 text, every tenth append the echo), then the end scrolled into view and "
                "the viewport painted (685x417, %s), 90th percentile in brackets.\n\n",
                qPrintable(QGuiApplication::platformName()));
    std::printf("| Transcript | Latin-1 | UTF-8 | hex |\n|---:|---:|---:|---:|\n");
    std::map<std::pair<int, qint64>, Timing> ticks;
    std::map<int, double> bytesPerByte;
    std::vector<std::pair<QString, Timing>> switches;
    for (int m = 0; m < 3; ++m) {
        TranscriptView view;
        view.setFont(transcriptFont());
        view.resize(685, 417);
        view.setEncoding(modes[m].encoding);
        view.setHexView(modes[m].hex);
        view.show();
        QApplication::processEvents();
        const qint64 rssEmpty = rssKiB();
        bench::Stream stream(Shape::Lines);
        // Some UTF-8 in every 40th line: the index and the decoder at work.
        auto next = [&](qint64 n) {
            QByteArray bytes = stream.next(n);
            for (qint64 i = 0; i + 8 < bytes.size(); i += 82 * 40)
                bytes.replace(i, 8, "caf\xc3\xa9 \xe2\x82");
            return QString::fromLatin1(bytes);
        };
        int appends = 0;
        for (qint64 size : sizes) {
            while (view.length() < size)
                view.AppendText(next(std::min<qint64>(MB, size - view.length())),
                                ++appends % 10 == 0 ? TextOrigin::Sent : TextOrigin::Received);
            view.ScrollToEnd();
            view.viewport()->repaint();
            QString chunk;
            const Timing t = measure([&] { chunk = next(ChunkSize); },
                                     [&] {
                                         view.AppendText(chunk, ++appends % 10 == 0
                                                                    ? TextOrigin::Sent
                                                                    : TextOrigin::Received);
                                         view.ScrollToEnd();
                                         view.viewport()->repaint();
                                     },
                                     51, 51, 0);
            ticks[{m, size}] = t;
            progress(modes[m].name, Shape::Lines, size, t);
        }
        bytesPerByte[m] = double(rssKiB() - rssEmpty) * 1024 / view.length();
        if (m != 0)
            continue;
        // Switches at the largest size, from the middle of the transcript.
        view.ensurePositionVisible(view.length() / 2);
        const std::pair<const char*, std::function<void()>> steps[] = {
            {"Latin-1 to UTF-8", [&] { view.setEncoding(TextEncoding::Utf8); }},
            {"UTF-8 to hex", [&] { view.setHexView(true); }},
            {"hex to UTF-8", [&] { view.setHexView(false); }},
            {"UTF-8 to Latin-1", [&] { view.setEncoding(TextEncoding::Latin1); }},
        };
        // The four in turn, eleven times: one switch is too short to time
        // once on a busy machine.
        std::vector<std::vector<double>> samples(std::size(steps));
        std::vector<std::vector<double>> cpu(std::size(steps));
        for (int round = 0; round < 11; ++round) {
            for (std::size_t i = 0; i < std::size(steps); ++i) {
                const Timing t = measure([] {}, [&] {
                    steps[i].second();
                    view.viewport()->repaint();
                }, 1, 1, 0);
                samples[i].push_back(t.medianMs);
                cpu[i].push_back(t.cpuMedianMs);
            }
        }
        for (std::size_t i = 0; i < std::size(steps); ++i) {
            std::sort(samples[i].begin(), samples[i].end());
            std::sort(cpu[i].begin(), cpu[i].end());
            switches.push_back({QString::fromLatin1(steps[i].first),
                                {samples[i][samples[i].size() / 2],
                                 samples[i][samples[i].size() * 9 / 10], int(samples[i].size()),
                                 cpu[i][cpu[i].size() / 2]}});
        }
    }
    auto tick = [&](int m, qint64 size) {
        const Timing& t = ticks[{m, size}];
        return milliseconds(t.medianMs) + QStringLiteral(" (") + milliseconds(t.p90Ms)
               + QStringLiteral(")");
    };
    for (qint64 size : sizes)
        std::printf("| %lld MB | %s | %s | %s |\n", size / MB, qPrintable(tick(0, size)),
                    qPrintable(tick(1, size)), qPrintable(tick(2, size)));
    std::printf("\nThe same ticks, median CPU time of the thread:\n\n"
                "| Transcript | Latin-1 | UTF-8 | hex |\n|---:|---:|---:|---:|\n");
    for (qint64 size : sizes)
        std::printf("| %lld MB | %s | %s | %s |\n", size / MB,
                    qPrintable(milliseconds(ticks[{0, size}].cpuMedianMs)),
                    qPrintable(milliseconds(ticks[{1, size}].cpuMedianMs)),
                    qPrintable(milliseconds(ticks[{2, size}].cpuMedianMs)));
    std::printf("\nMemory above the empty view at %lld MB, per transcript byte (store, line "
                "index, UTF-8 index, origin runs): Latin-1 %.2f, UTF-8 %.2f, hex %.2f bytes.\n",
                sizes.back() / MB, bytesPerByte[0], bytesPerByte[1], bytesPerByte[2]);
    std::printf("\nSwitching the view at %lld MB, scrolled to the middle, with the repaint "
                "(median of 11):",
                sizes.back() / MB);
    for (const auto& [name, t] : switches)
        std::printf(" %s %s (CPU %s);", qPrintable(name), qPrintable(milliseconds(t.medianMs)),
                    qPrintable(milliseconds(t.cpuMedianMs)));
    std::printf("\n");
    return 0;
}

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::printf("# bench_transcript\n\n");
    bench::printMachine();
    std::fprintf(stderr, "font: %s %d px\n", qPrintable(QFontInfo(transcriptFont()).family()),
                 QFontInfo(transcriptFont()).pixelSize());
    if (app.arguments().contains(QLatin1String("view")))
        return benchViewOnly();
    if (app.arguments().contains(QLatin1String("views")))
        return benchViews();

    Results r;
    for (Shape shape : {Shape::Lines, Shape::OneLine, Shape::TabbedLine})
        benchView(shape, r);
    // Bounded by what each costs: replacement is slow for both shapes, and
    // inserting at the end of one long line lays out the whole line again.
    benchReplace(Shape::Lines, 10 * MB, r);
    benchReplace(Shape::OneLine, 10 * MB, r);
    benchInsert(Shape::Lines, 100 * MB, r);
    benchInsert(Shape::OneLine, 1 * MB, r);

    std::printf("Median time of one append of 8 KiB, then the end scrolled into view and "
                "the viewport painted (widget 685x417, offscreen); for TranscriptView also "
                "the 90th percentile.\n\n");
    std::printf("| Transcript size | TranscriptView, 80-column lines | TranscriptView, one line "
                "| TranscriptView, one line with tabs "
                "| QPlainTextEdit replace, lines | QPlainTextEdit replace, one line "
                "| QPlainTextEdit insert, lines | QPlainTextEdit insert, one line |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (qint64 size : Sizes) {
        std::printf("| %lld MB | %s | %s | %s | %s | %s | %s | %s |\n", size / MB,
                    qPrintable(cell(r.view, Shape::Lines, size, true)),
                    qPrintable(cell(r.view, Shape::OneLine, size, true)),
                    qPrintable(cell(r.view, Shape::TabbedLine, size, true)),
                    qPrintable(cell(r.replace, Shape::Lines, size)),
                    qPrintable(cell(r.replace, Shape::OneLine, size)),
                    qPrintable(cell(r.insert, Shape::Lines, size)),
                    qPrintable(cell(r.insert, Shape::OneLine, size)));
    }
    std::printf("\nMemory of TranscriptView at %lld MB (VmRSS above the empty widget, per "
                "transcript character): 80-column lines %.2f bytes, one line %.2f bytes, "
                "one line with tabs %.2f bytes.\n",
                Sizes.back() / MB, r.bytesPerChar[Shape::Lines], r.bytesPerChar[Shape::OneLine],
                r.bytesPerChar[Shape::TabbedLine]);
    if (r.editBytesPerChar > 0)
        std::printf("QPlainTextEdit holding the same %lld MB of 80-column lines: %.2f bytes per "
                    "character.\n", Sizes.back() / MB, r.editBytesPerChar);
    return 0;
}
