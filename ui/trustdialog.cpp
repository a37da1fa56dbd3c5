#include "trustdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

TrustDialog::TrustDialog(const QString& facts, std::chrono::milliseconds delay, QWidget* parent)
    : QDialog(parent), m_delay(delay)
{
    setWindowTitle(QStringLiteral("Pellix"));
    auto* icon = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(size));
    icon->setAlignment(Qt::AlignTop);
    auto* text = new QLabel(facts, this);
    text->setTextFormat(Qt::PlainText);
    // The fingerprint can be copied to check it, but the text takes no focus.
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setFocusPolicy(Qt::NoFocus);
    auto* question = new QLabel(tr("Go on all the same? Only if you have checked the fingerprint "
                                   "another way. Nothing has been sent yet."),
                                this);
    question->setWordWrap(true);

    // No "&" in either caption: a letter typed must not press a button.
    connectAnyway = new QPushButton(tr("Connect Anyway"), this);
    connectAnyway->setObjectName(QStringLiteral("connectAnyway"));
    connectAnyway->setAutoDefault(false);
    connectAnyway->setEnabled(false); // until the delay is over
    dontConnect = new QPushButton(tr("Don't Connect"), this);
    dontConnect->setObjectName(QStringLiteral("dontConnect"));
    dontConnect->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(connectAnyway, QDialogButtonBox::AcceptRole);
    buttons->addButton(dontConnect, QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    // No "&" either, and reached by Tab after the buttons; it answers nothing.
    pin = new QCheckBox(tr("Trust this certificate wherever it shows, until Pellix closes"), this);
    pin->setObjectName(QStringLiteral("pin"));
    pin->setEnabled(false); // until the delay is over
    setTabOrder(dontConnect, connectAnyway);
    setTabOrder(connectAnyway, pin);

    auto* texts = new QVBoxLayout;
    texts->addWidget(text);
    texts->addWidget(question);
    texts->addWidget(pin);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(texts, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);

    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
    dontConnect->setFocus(Qt::OtherFocusReason);
}

void TrustDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_counting)
        return;
    m_counting = true;
    dontConnect->setFocus(Qt::OtherFocusReason);
    QTimer::singleShot(m_delay, this, [this] {
        m_listening = true;
        connectAnyway->setEnabled(true);
        pin->setEnabled(true);
    });
}

bool TrustDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_listening) {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}
