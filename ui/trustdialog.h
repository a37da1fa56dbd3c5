#pragma once

#include <QDialog>

#include <chrono>

class QCheckBox;
class QPushButton;

// Asks whether to go on with a peer whose certificate is not trusted, made
// so that no key or click meant for something else answers it: the button
// that goes on ("Connect Anyway") has no mnemonic and is never the default,
// the focus and the default are on "Don't Connect", Escape and Enter mean no,
// and for the first moments after it shows (delay) it takes no key and no
// click at all: someone still typing when it pops up answers nothing. A box
// unticked at first turns going on into trusting the certificate by its
// fingerprint for the rest of the run.
class TrustDialog : public QDialog {
    Q_OBJECT

public:
    TrustDialog(const QString& facts, std::chrono::milliseconds delay, QWidget* parent = nullptr);

    QPushButton* connectAnyway = nullptr;
    QPushButton* dontConnect = nullptr;
    QCheckBox* pin = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::chrono::milliseconds m_delay;
    bool m_counting = false;  // the delay has begun
    bool m_listening = false; // the delay is over: keys and clicks count
};
