// Sending a file through the real window, headless, to real peers on the
// loopback: what arrives is checked byte for byte, and how each way of
// ending a send reads in the transcript. The poll timer is stopped; the
// send runs from the event loop, as it does in the program.

#include "frmpellix.h"
#include "loopbackpeer.h"
#include "transcriptview.h"
#include "windowdriver.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QFrame>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <future>
#include <memory>

using testpeer::Listener;
using testpeer::Peer;

namespace {

const QString CrLf = QStringLiteral("\r\n");

QByteArray sha256(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

class tst_FileSend : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsTheFileExactly_data();
    void sendsTheFileExactly();
    void cancelStopsAtOnce();
    void cutShort_data();
    void cutShort();
    void unreadableFile_data();
    void unreadableFile();
    void droppedFile();

private:
    ConnectionControl& conn() { return m_window->connection(); }
    QString transcript() const { return m_window->txtDati->plainText(); }
    // A file of size random bytes in the test's folder: its path.
    QString makeFile(qint64 size, QByteArray* contents = nullptr);
    // Runs the event loop until the send has ended, at most ms.
    bool waitForEnd(int ms = 20000);
    // Runs the event loop until the send has stopped moving: the peer
    // takes nothing more (both buffers are full). The bytes sent by then.
    qint64 waitForStall();

    QTemporaryDir m_dir;
    std::unique_ptr<frmPellix> m_window;
    std::unique_ptr<Listener> m_listener;
    Peer m_peer;
};

void tst_FileSend::init()
{
    QVERIFY(m_dir.isValid());
    m_window = std::make_unique<frmPellix>(testwindow::loopbackHooks());
    m_window->tmrReceive->stop();
    m_window->show();
    m_listener = std::make_unique<Listener>();
    m_peer = testwindow::connectTo(*m_window, *m_listener);
    QVERIFY(m_peer.isOpen());
    m_window->cmdClear_Click();
}

void tst_FileSend::cleanup()
{
    m_window.reset();
    m_peer.close();
}

QString tst_FileSend::makeFile(qint64 size, QByteArray* contents)
{
    static int serial = 0;
    QByteArray bytes(size, '\0');
    QRandomGenerator random(quint32(size) + quint32(++serial));
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(random.generate() & 0xff);
    const QString path = m_dir.filePath(QStringLiteral("file%1.bin").arg(serial));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
        return {};
    if (contents)
        *contents = bytes;
    return path;
}

bool tst_FileSend::waitForEnd(int ms)
{
    QElapsedTimer t;
    t.start();
    while (conn().isSendingFile() && t.elapsed() < ms)
        QTest::qWait(5);
    return !conn().isSendingFile();
}

qint64 tst_FileSend::waitForStall()
{
    qint64 last = -1;
    QElapsedTimer t, still;
    t.start();
    still.start();
    while (t.elapsed() < 10000 && conn().isSendingFile()) {
        QTest::qWait(20);
        const qint64 sent = conn().fileSend()->progress().sent;
        if (sent != last) {
            last = sent;
            still.restart();
        } else if (still.elapsed() > 300 && sent > 0) {
            break;
        }
    }
    return last;
}

void tst_FileSend::sendsTheFileExactly_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("echo");
    QTest::newRow("empty") << qint64(0) << true;
    QTest::newRow("one byte, echoed") << qint64(1) << true;
    QTest::newRow("the echo bound exactly") << FileSend::EchoBound << true;
    QTest::newRow("chunks and a part, past the echo bound")
        << 3 * FileSend::ChunkSize + 17 << true;
    QTest::newRow("24 MiB, no echo") << qint64(24) * 1024 * 1024 << false;
}

void tst_FileSend::sendsTheFileExactly()
{
    QFETCH(qint64, size);
    QFETCH(bool, echo);
    QByteArray contents;
    const QString path = makeFile(size, &contents);
    QVERIFY(!path.isEmpty());
    m_window->chkEcho->setChecked(echo);

    auto received = std::async(std::launch::async, [this, size] { return m_peer.read(size, 20000); });
    conn().sendFile(path);
    QVERIFY(conn().isSendingFile());
    QVERIFY(waitForEnd());
    const QByteArray got = received.get();
    QCOMPARE(got.size(), size);
    QCOMPARE(sha256(got), sha256(contents));
    QVERIFY(m_peer.readFor(50).isEmpty());

    const QString text = transcript();
    const QString start = QStringLiteral("Sending %1: %2 bytes").arg(path).arg(size) + CrLf;
    QVERIFY2(text.startsWith(start), qPrintable(text.left(200)));
    // The echo: the file's first bytes as they went, up to the bound, then
    // one line for the rest.
    const qint64 shown = echo ? std::min(size, FileSend::EchoBound) : 0;
    QCOMPARE(text.mid(start.size(), shown).toLatin1(), contents.left(shown));
    QCOMPARE(text.count(QStringLiteral("Local Echo shows the first 65536 bytes")),
             echo && size > FileSend::EchoBound ? 1 : 0);
    const QString done = QStringLiteral("Sent %1: %2 bytes in ").arg(path).arg(size);
    QVERIFY2(text.contains(done), qPrintable(text.right(300)));
    QVERIFY(text.endsWith(" MB/s)" + CrLf));
    QVERIFY(m_window->sendProgress->isHidden());
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
}

void tst_FileSend::cancelStopsAtOnce()
{
    QByteArray contents;
    const QString path = makeFile(48 * 1024 * 1024, &contents);
    m_window->chkEcho->setChecked(false);
    conn().sendFile(path); // the peer reads nothing yet
    const qint64 sent = waitForStall();
    QVERIFY(conn().isSendingFile());
    QVERIFY(!m_window->sendProgress->isHidden());
    QVERIFY2(m_window->lblSendProgress->text().contains(" bytes ("),
             qPrintable(m_window->lblSendProgress->text()));

    // Keys and the send box wait for no file: they are refused, said once.
    m_window->txtDati->setFocus();
    QTest::keyClicks(m_window->txtDati, "ab");
    m_window->txtInvia->setPlainText("line");
    QTest::mouseClick(m_window->cmdSend, Qt::LeftButton);
    QCOMPARE(transcript().count("Not sent: a file is going out (Cancel stops it)"), 1);
    QCOMPARE(m_window->txtInvia->toPlainText(), QStringLiteral("line"));

    QTest::mouseClick(m_window->cmdCancelSend, Qt::LeftButton);
    QVERIFY(!conn().isSendingFile());
    QVERIFY(m_window->sendProgress->isHidden());
    QVERIFY2(transcript().endsWith(QStringLiteral("Sending %1 cancelled: %2 of %3 bytes went out")
                                       .arg(path)
                                       .arg(sent)
                                       .arg(contents.size())
                                   + CrLf),
             qPrintable(transcript().right(200)));
    // The peer takes the queued end at its own pace: neither a tick nor a
    // key ends the connection meanwhile; the key is refused, said once more.
    conn().tmrReceive_Timer();
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
    QTest::keyClick(m_window->txtDati, 'y');
    QVERIFY(transcript().endsWith("Not sent: the peer has yet to take the end of the file" + CrLf));
    // What went out is the file's first bytes, and the connection goes on
    // with what is typed next.
    const QByteArray got = m_peer.read(sent, 10000);
    QCOMPARE(got.size(), sent);
    QCOMPARE(sha256(got), sha256(contents.left(sent)));
    QTest::keyClick(m_window->txtDati, 'z');
    QCOMPARE(m_peer.read(1), QByteArray("z"));
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
}

void tst_FileSend::cutShort_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("reason");
    QTest::newRow("Disconnect") << "disconnect" << "the connection ended";
    QTest::newRow("peer stops reading: the send limit") << "limit" << "the peer took nothing for 1 s";
    QTest::newRow("peer closes") << "close" << "the send failed";
}

void tst_FileSend::cutShort()
{
    QFETCH(QString, how);
    QFETCH(QString, reason);
    QByteArray contents;
    const QString path = makeFile(48 * 1024 * 1024, &contents);
    m_window->chkEcho->setChecked(false);
    conn().setSendTimeLimit(std::chrono::milliseconds(how == "limit" ? 600 : 60000));
    conn().sendFile(path);
    qint64 sent = waitForStall();
    QVERIFY(sent > 0);
    if (how == "disconnect")
        QTest::mouseClick(m_window->cmdDisconnect, Qt::LeftButton);
    else if (how == "close")
        m_peer.close(); // with bytes unread: a reset
    QVERIFY(waitForEnd(5000));
    sent = conn().fileSend()->progress().sent;

    const QString line = QStringLiteral("Sending %1 stopped, %2: %3 of %4 bytes went out")
                             .arg(path, reason)
                             .arg(sent)
                             .arg(contents.size());
    QVERIFY2(transcript().endsWith(line + CrLf + "Disconnected" + CrLf),
             qPrintable(transcript().right(300)));
    testwindow::checkRow(*m_window, ConnectionControl::stateIdle);
    QVERIFY(m_window->sendProgress->isHidden());
    if (how == "close")
        return;
    // Everything counted as gone did go, and nothing more.
    const QByteArray got = m_peer.read(contents.size(), 10000);
    QCOMPARE(got.size(), sent);
    QCOMPARE(sha256(got), sha256(contents.left(sent)));
}

void tst_FileSend::unreadableFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing.bin" << "No such file or directory";
    QTest::newRow("no permission") << "locked.bin" << "Permission denied";
    QTest::newRow("a folder") << "folder" << "it is a folder";
}

void tst_FileSend::unreadableFile()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    const QString path = m_dir.filePath(name);
    if (name == "locked.bin") {
        if (::geteuid() == 0)
            QSKIP("the superuser reads any file");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("secret");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::WriteOwner));
    } else if (name == "folder") {
        QVERIFY(QDir(m_dir.path()).mkdir(name));
    }
    conn().sendFile(path);
    QVERIFY(!conn().isSendingFile());
    QCOMPARE(transcript(), QStringLiteral("Cannot send %1: %2").arg(path, reason) + CrLf);
    QVERIFY(m_peer.readFor(50).isEmpty());
    QCOMPARE(conn().connState(), ConnectionControl::stateConnected);
}

void tst_FileSend::droppedFile()
{
    QByteArray contents;
    const QString path = makeFile(1000, &contents);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QWidget* target = m_window->txtInvia->viewport();
    auto drop = [&] {
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(target, &enter);
        QDropEvent dropped(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(target, &dropped);
        return enter.isAccepted() && dropped.isAccepted();
    };

    QVERIFY(drop());
    QVERIFY(waitForEnd());
    QCOMPARE(m_peer.read(contents.size()), contents);
    QVERIFY(m_window->txtInvia->document()->isEmpty()); // sent, not pasted in

    // Without a connection a dropped file is refused, not written into the box.
    QTest::mouseClick(m_window->cmdDisconnect, Qt::LeftButton);
    QVERIFY(!drop());
    QVERIFY(m_window->txtInvia->document()->isEmpty());
}

QTEST_MAIN(tst_FileSend)
#include "tst_filesend.moc"
