#pragma once

#include "proxy.h"

#include <QDialog>

#include <optional>

class QLabel;
class QLineEdit;

// The proxy that Connect and a relay's server leg go through, as a URL
// without its password and the password in a box of its own that never shows
// what it holds (not even to a screen reader). OK with an empty URL means no
// proxy; with one that is not a proxy, it says why and stays open.
class ProxyDialog : public QDialog {
    Q_OBJECT

public:
    ProxyDialog(const std::optional<ProxySettings>& current, QWidget* parent = nullptr);

    // What OK chose: none for no proxy.
    const std::optional<ProxySettings>& proxy() const { return m_proxy; }

    QLineEdit* url = nullptr;
    QLineEdit* password = nullptr;
    QLabel* problem = nullptr;

    void accept() override;

private:
    std::optional<ProxySettings> m_proxy;
};
