#include "ui/shell/HttpStatusWindow.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <mutex>

#include "core/NoDestructor.h"
#include "core/Translation.h"
#include "server/RequestManager.h"

namespace wk::ui {
namespace {

class StatusRelay final : public HttpStatusSink {
public:
    void Attach(HttpStatusWindow* window) {
        std::lock_guard lock(m_mutex);
        m_window = window;
    }
    void Detach(HttpStatusWindow* window) {
        std::lock_guard lock(m_mutex);
        if (m_window == window) m_window = nullptr;
    }
    void OnHttpStatus(int code, const std::string& text, bool closable) override {
        // Held while posting: the window cannot go in between (its
        // destructor detaches under the same lock); once posted, Qt drops
        // the call should the window go before it runs.
        std::lock_guard lock(m_mutex);
        if (!m_window) return;
        HttpStatusWindow* window = m_window;
        const QString shown = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            window, [window, code, shown, closable] { window->ShowStatus(code, shown, closable); },
            Qt::QueuedConnection);
    }

private:
    std::mutex m_mutex;
    HttpStatusWindow* m_window = nullptr;
};

StatusRelay& Relay() {
    // Never destroyed: a report may still be on its way when windows go.
    static NoDestructor<StatusRelay> relay;
    return *relay;
}

// Outcomes without a Close button: nothing more is coming for them.
bool SelfClosing(int code) {
    return code == kStatusTimeChecked || code == kStatusTimeAlreadyChecked;
}

}  // namespace

HttpStatusWindow::HttpStatusWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint), m_text(new QLabel), m_close(new QPushButton) {
    setWindowTitle(QStringLiteral("wavkeep"));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QString::fromStdString(TranslateText("Please wait while connecting online..."))));
    m_text->setMinimumWidth(320);
    m_text->setWordWrap(true);
    layout->addWidget(m_text);
    m_close->setText(QString::fromStdString(TranslateText("Close")));
    m_close->hide();
    layout->addWidget(m_close, 0, Qt::AlignHCenter);
    connect(m_close, &QPushButton::clicked, this, &QDialog::hide);
    Relay().Attach(this);
    CHTTPRequestManager::Instance().SetStatusSink(&Relay());
}

HttpStatusWindow::~HttpStatusWindow() {
    Relay().Detach(this);
}

void HttpStatusWindow::ShowStatus(int code, const QString& text, bool closable) {
    m_text->setText(text);
    m_close->setVisible(closable);
    show();
    raise();
    const int serial = ++m_serial;
    if (SelfClosing(code)) {
        // Only if nothing newer arrived meanwhile.
        QTimer::singleShot(kSelfCloseMs, this, [this, serial] {
            if (serial == m_serial) hide();
        });
    }
    emit statusShown(code, text, closable);
}

QString HttpStatusWindow::Text() const {
    return m_text->text();
}

bool HttpStatusWindow::CloseOffered() const {
    return !m_close->isHidden();
}

}  // namespace wk::ui
