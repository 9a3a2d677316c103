#include "ui/shell/dialogs/ChannelsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <climits>

#include "streamstore/StreamListChange.h"
#include "streamstore/StreamNameFile.h"
#include "ui/shell/QtUserPrompt.h"

namespace wk::ui {
namespace {

QSpinBox* Spin(const char* name, int low, int high, const QString& suffix = {}) {
    auto* box = new QSpinBox;
    box->setObjectName(QString::fromLatin1(name));
    box->setRange(low, high);
    box->setSuffix(suffix);
    return box;
}

bool SameName(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

ChannelsDialog::ChannelsDialog(QWidget* parent)
    : QDialog(parent),
      m_list(new QListWidget),
      m_newName(new QLineEdit),
      m_kind(new QComboBox),
      m_serviceNumber(Spin("serviceNumber", 0, INT_MAX)),
      m_tunerChannel(Spin("tunerChannel", 0, INT_MAX)),
      m_silenceMinimum(Spin("silenceMinimum", 0, 3600, tr(" s"))),
      m_sensitivity(Spin("silenceSensitivity", 0, 127)),
      m_shortest(Spin("shortestTrack", 0, 86400, tr(" s"))),
      m_longest(Spin("longestTrack", 0, 86400, tr(" s"))),
      m_problem(new QLabel) {
    setWindowTitle(tr("Channels"));
    m_list->setObjectName(QStringLiteral("streams"));
    m_newName->setObjectName(QStringLiteral("newName"));
    m_newName->setPlaceholderText(tr("name of a new stream"));
    m_kind->setObjectName(QStringLiteral("kind"));
    m_kind->addItem(tr("Radio"), kSourceRadio);
    m_kind->addItem(tr("Music TV"), kSourceMusicTv);

    StreamNameFile list;
    list.load();
    m_newTemplate = NewStreamRecord(list, std::string());
    for (const auto& r : list.Records()) {
        m_rows.push_back({*r, *r, false});
        m_list->addItem(ItemFor(m_rows.back()));
    }

    auto* left = new QVBoxLayout;
    auto* listLabel = new QLabel(tr("Streams (ticked: scheduled tasks record it):"));
    left->addWidget(listLabel);
    left->addWidget(m_list, 1);
    auto* add = new QHBoxLayout;
    auto* addButton = new QPushButton(tr("Add"));
    addButton->setObjectName(QStringLiteral("add"));
    addButton->setAutoDefault(false);
    add->addWidget(m_newName, 1);
    add->addWidget(addButton);
    left->addLayout(add);

    auto* channel = new QGroupBox(tr("Channel"));
    auto* channelForm = new QFormLayout(channel);
    channelForm->addRow(tr("Source type:"), m_kind);
    channelForm->addRow(tr("Service's number:"), m_serviceNumber);
    channelForm->addRow(tr("TV tuner channel:"), m_tunerChannel);
    auto* noise = new QGroupBox(tr("Noise settings"));
    auto* noiseForm = new QFormLayout(noise);
    noiseForm->addRow(tr("Min time for silence (s)"), m_silenceMinimum);
    noiseForm->addRow(tr("Silence sensitivity"), m_sensitivity);
    noiseForm->addRow(tr("Estimated song time (s) min"), m_shortest);
    noiseForm->addRow(tr("Estimated song time (s) max"), m_longest);
    auto* hint = new QLabel(tr("A stretch quieter than the sensitivity (0-127) for longer than the minimum "
                               "time ends a song; songs shorter than the minimum are not kept, and a "
                               "song is split after the maximum."));
    hint->setWordWrap(true);
    noiseForm->addRow(hint);
    auto* right = new QVBoxLayout;
    right->addWidget(channel);
    right->addWidget(noise);
    right->addStretch(1);

    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(columns);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->setWordWrap(true);
    m_problem->hide();
    outer->addWidget(m_problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    outer->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(addButton, &QPushButton::clicked, this, [this] {
        if (AddStream(m_newName->text())) m_newName->clear();
    });
    // Enter in the name field adds the stream; it must not also press OK.
    m_newName->installEventFilter(this);
    connect(m_list, &QListWidget::currentRowChanged, this, &ChannelsDialog::Select);
    connect(m_list, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        const int row = m_list->row(item);
        if (row >= 0 && row < static_cast<int>(m_rows.size()))
            m_rows[static_cast<size_t>(row)].now.active = item->checkState() == Qt::Checked ? 1 : 0;
    });
    if (!m_rows.empty()) m_list->setCurrentRow(0);
    resize(720, sizeHint().height());
}

bool ChannelsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_newName && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (AddStream(m_newName->text())) m_newName->clear();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

QListWidgetItem* ChannelsDialog::ItemFor(const Row& row) {
    auto* item = new QListWidgetItem(QString::fromStdString(row.now.name));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(row.now.active == 1 ? Qt::Checked : Qt::Unchecked);
    if (row.added) item->setToolTip(tr("new: added when you press OK"));
    return item;
}

void ChannelsDialog::StoreForm() {
    if (m_shown < 0 || m_shown >= static_cast<int>(m_rows.size())) return;
    StreamRecord& r = m_rows[static_cast<size_t>(m_shown)].now;
    r.sourceType = m_kind->currentData().toInt();
    r.serviceNumber = m_serviceNumber->value();
    r.tunerChannel = m_tunerChannel->value();
    r.silenceMinimum = m_silenceMinimum->value();
    r.silenceSensitivity = m_sensitivity->value();
    r.shortestTrack = m_shortest->value();
    r.longestTrack = m_longest->value();
}

void ChannelsDialog::Select(int row) {
    StoreForm();
    m_shown = row;
    if (row < 0 || row >= static_cast<int>(m_rows.size())) return;
    const StreamRecord& r = m_rows[static_cast<size_t>(row)].now;
    // A kind the file may hold besides the two is shown as music TV, as it is read.
    m_kind->setCurrentIndex(r.sourceType == kSourceRadio ? 0 : 1);
    m_serviceNumber->setValue(r.serviceNumber);
    m_tunerChannel->setValue(r.tunerChannel);
    m_silenceMinimum->setValue(r.silenceMinimum);
    m_sensitivity->setValue(r.silenceSensitivity);
    m_shortest->setValue(r.shortestTrack);
    m_longest->setValue(r.longestTrack);
}

void ChannelsDialog::ShowProblem(const QString& problem) {
    m_problem->setText(problem);
    m_problem->setVisible(!problem.isEmpty());
}

bool ChannelsDialog::AddStream(const QString& text) {
    const std::string name = text.toStdString();
    if (const std::string problem = StreamNameFile::NameProblem(name); !problem.empty()) {
        ShowProblem(tr("\"%1\" cannot name a stream: %2")
                        .arg(QString::fromStdString(StreamNameFile::ShownName(name)), QString::fromStdString(problem)));
        m_newName->setFocus();
        return false;
    }
    for (const Row& row : m_rows) {
        if (SameName(row.now.name, name)) {
            ShowProblem(tr("The stream \"%1\" exists already.").arg(QString::fromStdString(row.now.name)));
            m_newName->setFocus();
            return false;
        }
    }
    ShowProblem({});
    StreamRecord record = m_newTemplate;
    record.name = name;
    m_rows.push_back({record, record, true});
    m_list->addItem(ItemFor(m_rows.back()));
    m_list->setCurrentRow(static_cast<int>(m_rows.size()) - 1);
    return true;
}

void ChannelsDialog::accept() {
    StoreForm();
    StreamListChanges changes;
    for (const Row& row : m_rows) {
        if (row.added) changes.added.push_back(row.now);
        else if (!(row.now == row.before)) changes.changed.push_back({row.before, row.now});
    }
    if (!changes.added.empty() || !changes.changed.empty()) {
        const StreamChangeResult r = ChangeStreamList(changes);
        if (!r.Done()) {
            ShowProblem(tr("Nothing was saved: %1").arg(QString::fromStdString(r.problem)));
            for (size_t i = 0; i < m_rows.size(); ++i)
                if (!r.name.empty() && m_rows[i].now.name == r.name) m_list->setCurrentRow(static_cast<int>(i));
            return;
        }
    }
    QDialog::accept();
}

bool RunChannelsDialog(UserPrompt& prompt, QWidget* parent) {
    ChannelsDialog dialog(parent);
    return QtUserPrompt::RunDialogWith(prompt, dialog);
}

}  // namespace wk::ui
