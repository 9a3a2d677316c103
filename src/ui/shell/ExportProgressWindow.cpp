#include "ui/shell/ExportProgressWindow.h"

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "core/Translation.h"
#include "export/ExportProgress.h"

namespace wk::ui {

class ExportProgressWindow::Relay final : public CExportProgress,
                                          public std::enable_shared_from_this<Relay> {
public:
    explicit Relay(ExportProgressWindow* window) : m_window(window) {}

    void StepBy(int64_t n) override { Change([n](SilentExportProgress& s) { s.StepBy(n); }); }
    void SetFileCount(int n) override { Change([n](SilentExportProgress& s) { s.SetFileCount(n); }); }
    void SetFileIndex(int i) override { Change([i](SilentExportProgress& s) { s.SetFileIndex(i); }); }
    void SetFileName(const std::string& name) override {
        Change([&name](SilentExportProgress& s) { s.SetFileName(name); });
    }
    void SetRange(int64_t low, int64_t high) override {
        Change([low, high](SilentExportProgress& s) { s.SetRange(low, high); });
    }
    void SetText(const std::string& text) override {
        Change([&text](SilentExportProgress& s) { s.SetText(text); });
    }
    // The window is shown and closed by the main window, which knows when
    // a manual export begins and ends.
    void Show() override {}
    void Hide() override {}

    SilentExportProgress Values() const {
        std::lock_guard lock(m_mutex);
        return m_values;
    }
    void Drawn() { m_pending = false; }

private:
    template <typename F>
    void Change(F change) {
        {
            std::lock_guard lock(m_mutex);
            change(m_values);
        }
        if (m_pending.exchange(true)) return;
        // The main window joins the export thread before its children (this
        // window among them) go, so the window outlives every request here.
        ExportProgressWindow* window = m_window;
        std::weak_ptr<Relay> self = weak_from_this();
        QMetaObject::invokeMethod(
            window,
            [window, self] {
                if (auto relay = self.lock()) window->Redraw(*relay);
            },
            Qt::QueuedConnection);
    }
    ExportProgressWindow* m_window;
    mutable std::mutex m_mutex;
    SilentExportProgress m_values;
    std::atomic<bool> m_pending{false};
};

ExportProgressWindow::ExportProgressWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint), m_text(new QLabel), m_bar(new QProgressBar) {
    setWindowTitle(QString::fromStdString(TranslateText("Export Audio Files")));
    setModal(false);
    auto* group = new QGroupBox;
    auto* inner = new QVBoxLayout(group);
    m_text->setMinimumWidth(360);
    inner->addWidget(m_text);
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    inner->addWidget(m_bar);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
}

ExportProgressWindow::~ExportProgressWindow() = default;

std::shared_ptr<CExportProgress> ExportProgressWindow::Begin(const QString& stream) {
    m_relay = std::make_shared<Relay>(this);
    m_text->setText(tr("Creating the mp3's of %1...").arg(stream));
    m_bar->setValue(0);
    show();
    raise();
    return m_relay;
}

void ExportProgressWindow::Finish() {
    // What the thread reported last is shown should the window reappear
    // before the next export begins.
    if (m_relay) Redraw(*m_relay);
    m_relay.reset();
    hide();
}

void ExportProgressWindow::Redraw(const Relay& from) {
    // Only the running export's progress is drawn.
    if (&from != m_relay.get()) return;
    m_relay->Drawn();
    const SilentExportProgress v = from.Values();
    if (!v.text.empty()) m_text->setText(QString::fromStdString(v.text));
    const int64_t span = v.high - v.low;
    m_bar->setValue(span > 0 ? static_cast<int>(std::clamp<int64_t>((v.position - v.low) * 1000 / span, 0, 1000))
                             : 0);
}

QString ExportProgressWindow::Text() const {
    return m_text->text();
}

int ExportProgressWindow::Permille() const {
    return m_bar->value();
}

}  // namespace wk::ui
