#include "ui/shell/StreamViewPane.h"

#include <QLabel>
#include <QVBoxLayout>

#include "ui/shell/StreamSummary.h"

namespace wk::ui {

PlaceholderStreamPane::PlaceholderStreamPane(QWidget* parent)
    : StreamViewPane(parent), m_summary(new QLabel(this)) {
    auto* layout = new QVBoxLayout(this);
    m_summary->setAlignment(Qt::AlignCenter);
    m_summary->setWordWrap(true);
    m_summary->setTextFormat(Qt::RichText);
    layout->addWidget(m_summary);
}

void PlaceholderStreamPane::SetStream(const std::string& name) {
    m_stream = name;
    Reload();
}

void PlaceholderStreamPane::showEvent(QShowEvent* event) {
    StreamViewPane::showEvent(event);
    if (m_stale) Reload();
}

// The summary scans the stream folder: only when it is seen.
void PlaceholderStreamPane::Reload() {
    m_stale = !isVisible();
    if (m_stale) return;
    const StreamSummary s = SummariseStream(m_stream);
    QString text = QStringLiteral("<h3>%1</h3>").arg(QString::fromStdString(m_stream).toHtmlEscaped());
    if (s.chunks == 0) {
        text += tr("<p>Nothing recorded in this stream yet.</p>");
    } else {
        text += tr("<p>%1 chunks in %2 recordings, %3 to %4<br>%5 descriptions</p>")
                    .arg(s.chunks)
                    .arg(s.sessions)
                    .arg(QString::fromStdString(s.first), QString::fromStdString(s.last))
                    .arg(s.descriptions);
    }
    text += tr("<p><i>The time line and the player are not part of this build: "
               "playing, zooming and marking by hand are not available yet. "
               "The descriptions and the schedule are in the other views.</i></p>");
    m_summary->setText(text);
}

bool PlaceholderStreamPane::HandleCommand(int) {
    return false;
}

}  // namespace wk::ui
