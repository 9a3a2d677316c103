#include "ui/shell/ScheduleView.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "core/UserPrompt.h"
#include "scheduler/PeriodCheck.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "streamstore/StreamNameFile.h"

namespace wk::ui {
namespace {

QString StatusName(int status) {
    switch (status) {
    case kStatusNothingRecorded: return QObject::tr("missed");
    case kStatusFinal:
    case kStatusDescribed: return QObject::tr("done");
    case kStatusUndescribed: return QObject::tr("no playlist yet");
    case kStatusRecording: return QObject::tr("recording");
    case kStatusNotRecording: return QObject::tr("not recording");
    case kStatusStreamActive: return QObject::tr("waiting");
    case kStatusStreamInactive: return QObject::tr("stream off");
    default: return QString();
    }
}

QColor StatusColour(int status) {
    switch (status) {
    case kStatusRecording: return QColor(210, 30, 30);
    case kStatusFinal:
    case kStatusDescribed: return QColor(40, 150, 40);
    case kStatusUndescribed: return QColor(230, 160, 20);
    case kStatusStreamActive: return QColor(60, 110, 210);
    case kStatusNothingRecorded:
    case kStatusNotRecording: return QColor(120, 120, 120);
    default: return QColor(200, 200, 200);
    }
}

QIcon StatusIcon(int status) {
    QPixmap pixmap(12, 12);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(StatusColour(status));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(1, 1, 10, 10);
    return QIcon(pixmap);
}

QDateTime ToQt(const DateTime& t) {
    return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second));
}

DateTime FromQt(const QDateTime& t) {
    return DateTime(t.date().year(), t.date().month(), t.date().day(), t.time().hour(),
                    t.time().minute(), t.time().second());
}

std::unique_ptr<ScheduleTask> MakeTask(const TaskDraft& d, const DateTime& now) {
    std::unique_ptr<ScheduleTask> task;
    if (d.kind == 'D') {
        task = std::make_unique<DailyTask>();
    } else if (d.kind == 'W') {
        auto weekly = std::make_unique<WeeklyTask>();
        weekly->SetWeekday(d.weekday);
        task = std::move(weekly);
    } else {
        task = std::make_unique<OnceTask>();
    }
    task->SetStreamName(d.stream);
    task->SetDescription(d.description);
    task->SetStart(d.start);
    task->SetEnd(d.end);
    // As the command line does: a weekly task moves to its weekday, a daily
    // one over for today to tomorrow.
    if (task->Kind() == 'W' || (task->Kind() == 'D' && task->End() <= now)) task->Advance(now);
    return task;
}

// The task dialog; false when cancelled.
bool EditDraft(QWidget* parent, TaskDraft& draft, const QString& title) {
    QDialog dialog(parent);
    dialog.setWindowTitle(title);
    auto* form = new QFormLayout;
    auto* kind = new QComboBox(&dialog);
    kind->addItem(QObject::tr("Once"), 'O');
    kind->addItem(QObject::tr("Daily"), 'D');
    kind->addItem(QObject::tr("Weekly"), 'W');
    kind->setCurrentIndex(std::max(0, kind->findData(draft.kind)));
    auto* stream = new QComboBox(&dialog);
    StreamNameFile streams;
    streams.load();
    for (const auto& r : streams.Records()) stream->addItem(QString::fromStdString(r->name));
    stream->setCurrentText(QString::fromStdString(draft.stream));
    auto* from = new QDateTimeEdit(ToQt(draft.start), &dialog);
    auto* to = new QDateTimeEdit(ToQt(draft.end), &dialog);
    from->setDisplayFormat("dd/MM/yyyy HH:mm:ss");
    to->setDisplayFormat("dd/MM/yyyy HH:mm:ss");
    auto* weekday = new QComboBox(&dialog);
    for (const char* day : {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"})
        weekday->addItem(QObject::tr(day));
    weekday->setCurrentIndex(draft.weekday);
    auto* text = new QLineEdit(QString::fromStdString(draft.description), &dialog);
    form->addRow(QObject::tr("Repeating:"), kind);
    form->addRow(QObject::tr("Stream:"), stream);
    form->addRow(QObject::tr("From:"), from);
    form->addRow(QObject::tr("To:"), to);
    form->addRow(QObject::tr("Weekday (weekly):"), weekday);
    form->addRow(QObject::tr("Description:"), text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted) return false;
    draft.kind = static_cast<char>(kind->currentData().toInt());
    draft.stream = stream->currentText().toStdString();
    draft.start = FromQt(from->dateTime());
    draft.end = FromQt(to->dateTime());
    draft.weekday = weekday->currentIndex();
    draft.description = text->text().toStdString();
    return true;
}

}  // namespace

std::string DraftProblem(const TaskDraft& draft, const DateTime& now) {
    if (draft.stream.empty()) return "Choose the stream to record.";
    if (draft.description.find('\t') != std::string::npos ||
        draft.description.find('\n') != std::string::npos)
        return "The description cannot hold tabs or line breaks.";
    return ValidatePeriod(draft.start, draft.end, now, draft.kind == 'O');
}

ScheduleView::ScheduleView(Scheduler& scheduler, UserPrompt& prompt, QWidget* parent)
    : QWidget(parent), m_scheduler(scheduler), m_prompt(prompt), m_rows(scheduler),
      m_list(new QTreeWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    QStringList headers;
    for (const ScheduleColumn& c : kScheduleColumns) headers << tr(c.header);
    m_list->setHeaderLabels(headers);
    for (int i = 0; i < static_cast<int>(std::size(kScheduleColumns)); ++i)
        m_list->setColumnWidth(i, kScheduleColumns[i].width);
    // The state's words and the two dates of "From" need more room than the
    // columns' classic widths.
    m_list->setColumnWidth(1, 110);
    m_list->setColumnWidth(2, 290);
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { ModifySelected(); });
}

ScheduleView::~ScheduleView() {
    JoinWorker();
}

void ScheduleView::JoinWorker() {
    if (m_worker.joinable()) m_worker.join();
}

void ScheduleView::Refresh() {
    m_rows.Refresh(GetClock().Now());
    Fill();
}

void ScheduleView::StartStateRefresh() {
    if (m_workerBusy.exchange(true)) return;
    JoinWorker();
    m_worker = std::thread([this] {
        Trace(kTraceDetail, "BEGIN THREAD refresh tasks");
        const int changed = m_rows.RefreshStates(GetClock().Now());
        Trace(kTraceDetail, "END THREAD refresh tasks");
        QMetaObject::invokeMethod(this, [this, changed] {
            m_workerBusy = false;
            if (changed > 0) Fill();
        }, Qt::QueuedConnection);
    });
}

void ScheduleView::Fill() {
    const ScheduleTask* selected = SelectedTask();
    m_list->clear();
    for (const ScheduleRow& row : m_rows.Rows()) {
        auto* item = new QTreeWidgetItem(m_list);
        item->setText(0, tr(row.kind.c_str()));
        item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(row.task)));
        if (!row.kindOnly) {
            item->setIcon(1, StatusIcon(row.status));
            item->setText(1, StatusName(row.status));
            item->setToolTip(1, tr("state %1").arg(row.status));
            item->setText(2, QString::fromStdString(row.from));
            item->setText(3, QString::fromStdString(row.duration));
            item->setText(4, QString::fromStdString(row.mp3At));
            item->setText(5, QString::fromStdString(row.stream));
            item->setText(6, QString::fromStdString(row.description));
        }
        if (row.task == selected) item->setSelected(true);
    }
}

const ScheduleTask* ScheduleView::SelectedTask() const {
    const auto items = m_list->selectedItems();
    if (items.isEmpty()) return nullptr;
    return reinterpret_cast<const ScheduleTask*>(items.front()->data(0, Qt::UserRole).value<quintptr>());
}

bool ScheduleView::Apply(const ScheduleTask* replaced, const TaskDraft* draft, std::string* why) {
    const DateTime now = GetClock().Now();
    std::unique_ptr<ScheduleTask> fresh;
    if (draft) {
        const std::string problem = DraftProblem(*draft, now);
        if (!problem.empty()) {
            if (why) *why = problem;
            return false;
        }
        fresh = MakeTask(*draft, now);
    }
    // The line identifies the task across the fresh read Update makes.
    const std::string oldLine = replaced ? replaced->WriteLine() : std::string();
    bool found = replaced == nullptr;
    std::string problem;
    const bool ok = m_scheduler.Update(
        [&](Scheduler& s) {
            if (replaced) {
                ScheduleTask* victim = nullptr;
                s.ForEachTask([&](ScheduleTask& t) {
                    if (!victim && t.WriteLine() == oldLine) victim = &t;
                });
                if (!victim) return false;
                found = true;
                s.deleteTask(victim);
            }
            if (fresh) s.insertTask(*fresh);
            return true;
        },
        &problem);
    Refresh();
    if (!found) problem = "The task was changed or deleted meanwhile; the list shows it as it is now.";
    if (!ok || !found) {
        if (why) *why = problem;
        return false;
    }
    return true;
}

bool ScheduleView::CreateFromDraft(const TaskDraft& draft, std::string* why) {
    return Apply(nullptr, &draft, why);
}

bool ScheduleView::ModifyFromDraft(const ScheduleTask* task, const TaskDraft& draft, std::string* why) {
    if (!task) return false;
    return Apply(task, &draft, why);
}

bool ScheduleView::CreateItem() {
    TaskDraft draft;
    ConfigStore config;
    config.Load();
    draft.stream = config.GetString("ActiveStream");
    const DateTime now = GetClock().Now();
    draft.start = DateTime::FromStreamTime(now.ToStreamTime() + 5 * kMsPerMinute);
    draft.end = DateTime::FromStreamTime(now.ToStreamTime() + 65 * kMsPerMinute);
    while (EditDraft(this, draft, tr("New schedule item"))) {
        std::string why;
        if (CreateFromDraft(draft, &why)) return true;
        m_prompt.Show(why, kMbOk | kMbIconWarning);
    }
    return false;
}

bool ScheduleView::ModifySelected() {
    const ScheduleTask* task = SelectedTask();
    if (!task) {
        emit statusText(tr("Choose the schedule item to modify first."));
        return false;
    }
    TaskDraft draft;
    draft.kind = task->Kind();
    draft.stream = task->StreamName();
    draft.start = task->Start();
    draft.end = task->End();
    draft.weekday = task->Weekday();
    draft.description = task->Description();
    while (EditDraft(this, draft, tr("Modify schedule item"))) {
        std::string why;
        if (ModifyFromDraft(task, draft, &why)) return true;
        m_prompt.Show(why, kMbOk | kMbIconWarning);
        task = SelectedTask();
        if (!task) return false;
    }
    return false;
}

bool ScheduleView::DeleteSelected() {
    const ScheduleTask* task = SelectedTask();
    if (!task) {
        emit statusText(tr("Choose the schedule item to delete first."));
        return false;
    }
    std::string why;
    const bool deleted = m_rows.DeleteSelected(task, m_prompt, GetClock().Now(), &why);
    Fill();
    if (!deleted && !why.empty()) emit statusText(QString::fromStdString(why));
    return deleted;
}

}  // namespace wk::ui
