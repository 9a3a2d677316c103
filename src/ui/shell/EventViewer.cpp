#include "ui/shell/EventViewer.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "core/EventLog.h"

namespace wk::ui {

EventViewer::EventViewer(QWidget* parent) : QDialog(parent), m_text(new QPlainTextEdit(this)) {
    setWindowTitle(tr("wavkeep events"));
    resize(640, 360);
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* clear = new QPushButton(tr("Delete all the events"), this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(clear, 0, Qt::AlignRight);
    connect(clear, &QPushButton::clicked, this, [this] {
        ClearEvents();
        Reload();
    });
}

void EventViewer::Reload() {
    ShowEvents();
    QString text = QString::fromStdString(EventLog::Instance().ViewerText());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_text->setPlainText(text);
    m_text->verticalScrollBar()->setValue(m_text->verticalScrollBar()->maximum());
}

QString EventViewer::Text() const {
    return m_text->toPlainText();
}

void EventViewer::showEvent(QShowEvent* event) {
    Reload();
    QDialog::showEvent(event);
}

}  // namespace wk::ui
