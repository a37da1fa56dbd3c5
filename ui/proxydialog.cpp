#include "proxydialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

ProxyDialog::ProxyDialog(const std::optional<ProxySettings>& current, QWidget* parent)
    : QDialog(parent), m_proxy(current)
{
    setObjectName(QStringLiteral("dlgProxy"));
    setWindowTitle(tr("Proxy"));
    auto* intro = new QLabel(tr("Connect and a relay's connection to its server go through this "
                                "proxy; Listen never does. Leave it empty for none."),
                             this);
    intro->setWordWrap(true);
    url = new QLineEdit(current ? current->displayUrl() : QString(), this);
    url->setObjectName(QStringLiteral("txtProxy"));
    url->setPlaceholderText(QStringLiteral("socks5://HOST:1080"));
    url->setToolTip(tr("socks5://[USER@]HOST:PORT (the proxy resolves the host's name) or "
                       "http://[USER@]HOST:PORT (HTTP CONNECT)"));
    password = new QLineEdit(current ? current->password : QString(), this);
    password->setObjectName(QStringLiteral("txtProxyPassword"));
    password->setEchoMode(QLineEdit::Password);
    password->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData
                                  | Qt::ImhNoPredictiveText);
    password->setToolTip(tr("The user's password, sent to the proxy only"));
    problem = new QLabel(this);
    problem->setObjectName(QStringLiteral("lblProxyProblem"));
    problem->setWordWrap(true);
    problem->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* form = new QFormLayout;
    form->addRow(tr("&Proxy:"), url);
    form->addRow(tr("Pass&word:"), password);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(form);
    layout->addWidget(problem);
    layout->addWidget(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
}

void ProxyDialog::accept()
{
    if (url->text().trimmed().isEmpty()) {
        m_proxy.reset();
        QDialog::accept();
        return;
    }
    QString why;
    std::optional<ProxySettings> chosen = ProxySettings::parse(url->text(), &why);
    if (chosen && !password->text().isEmpty() && chosen->user.isEmpty())
        why = tr("a password needs a user name in the URL (USER@HOST)");
    if (!chosen || !why.isEmpty()) {
        problem->setText(why);
        problem->show();
        return;
    }
    // A password typed into the URL moves to its own box for next time.
    if (!password->text().isEmpty())
        chosen->password = password->text();
    m_proxy = std::move(chosen);
    QDialog::accept();
}
