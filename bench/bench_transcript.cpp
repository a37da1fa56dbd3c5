// The cost of one transcript append as the connection code does it: append
// 8 KiB, ScrollToEnd, and paint. Beside it, the same append done on a
// QPlainTextEdit by replacing the whole text and by inserting at the end, and
// the memory the transcript takes per character at the largest size.
//
// Prints a Markdown table on stdout, progress on stderr.
// Run: QT_QPA_PLATFORM=offscreen bench_transcript   (or: make bench)

#include "benchsupport.h"
#include "transcriptview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFontInfo>

#include <cstdio>
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
};

// Runs prepare (not timed) and step (timed) until there are maxSamples, or at
// least minSamples and budgetMs of timed work.
Timing measure(const std::function<void()>& prepare, const std::function<void()>& step,
               int minSamples, int maxSamples, double budgetMs)
{
    std::vector<double> ms;
    double total = 0;
    while (int(ms.size()) < maxSamples && (int(ms.size()) < minSamples || total < budgetMs)) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        step();
        ms.push_back(timer.nsecsElapsed() / 1e6);
        total += ms.back();
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[(ms.size() * 9) / 10], int(ms.size())};
}

void progress(const char* what, Shape shape, qint64 size, const Timing& t)
{
    std::fprintf(stderr, "%-24s %-20s %4lld MB: %10.3f ms median, %10.3f ms 90th percentile, %d samples\n",
                 what, shapeName(shape), size / MB, t.medianMs, t.p90Ms, t.samples);
}

// Columns of the table, by shape and size.
struct Results {
    std::map<std::pair<Shape, qint64>, Timing> view, replace, insert;
    std::map<Shape, double> bytesPerChar;
    double editBytesPerChar = -1;
};

void benchView(Shape shape, Results& results)
{
    TranscriptView view;
    view.setFont(transcriptFont());
    view.resize(685, 417);
    view.show();
    QApplication::processEvents();
    view.viewport()->repaint();
    const qint64 rssEmpty = rssKiB();

    Stream stream(shape);
    QString chunk;
    for (qint64 size : Sizes) {
        while (view.length() < size)
            view.AppendText(stream.next(std::min<qint64>(MB, size - view.length())));
        view.ScrollToEnd();
        view.viewport()->repaint();
        const Timing t = measure(
            [&] { chunk = stream.next(ChunkSize); },
            [&] {
                view.AppendText(chunk);
                view.ScrollToEnd();
                view.viewport()->repaint();
            },
            51, 51, 0);
        results.view[{shape, size}] = t;
        progress("TranscriptView", shape, size, t);
    }
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

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::printf("# bench_transcript\n\n");
    bench::printMachine();
    std::fprintf(stderr, "font: %s %d px\n", qPrintable(QFontInfo(transcriptFont()).family()),
                 QFontInfo(transcriptFont()).pixelSize());

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
