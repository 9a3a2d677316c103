#include "ui/shell/DescriptionView.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QAbstractTableModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "descriptions/DescriptionStore.h"
#include "export/Id3Tag.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"
#include "core/UserPrompt.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/dialogs/TrackPropertiesDialog.h"

namespace wk::ui {
namespace {

// Rows read for the column widths.
constexpr int kMeasuredRows = 100;

QString TimeCell(StreamTime t) {
    const DateTime d = DateTime::FromStreamTime(t);
    return QString::fromStdString(d.DateText() + "  " + d.TimeText());
}

QString LengthCell(StreamTime ms) {
    if (ms < 0) ms = 0;
    const int64_t s = ms / 1000;
    return QString::asprintf("%lld:%02lld", static_cast<long long>(s / 60),
                             static_cast<long long>(s % 60));
}

QString GenreText(int genre) {
    if (genre < 0 || genre >= kGenreCount) return QString();
    return QString::fromStdString(GetGenreName(genre));
}

// The genre column edits with a list of the tag's genres; the choice goes
// straight to the file.
class GenreDelegate final : public QStyledItemDelegate {
public:
    GenreDelegate(DescriptionView* view, bool* editing) : QStyledItemDelegate(view), m_view(view), m_editing(editing) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex&) const override {
        *m_editing = true;
        auto* combo = new QComboBox(parent);
        combo->addItem(QObject::tr("(none)"), -1);
        for (int g = 0; g < kGenreCount; ++g) combo->addItem(GenreText(g), g);
        return combo;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        auto* combo = static_cast<QComboBox*>(editor);
        const int at = combo->findData(index.data(Qt::UserRole).toInt());
        combo->setCurrentIndex(std::max(at, 0));
    }
    void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
        auto* combo = static_cast<QComboBox*>(editor);
        std::string why;
        if (!m_view->SetGenre(index.row(), combo->currentData().toInt(), &why))
            emit m_view->statusText(QString::fromStdString(why));
    }

    void destroyEditor(QWidget* editor, const QModelIndex& index) const override {
        *m_editing = false;
        QStyledItemDelegate::destroyEditor(editor, index);
    }

private:
    DescriptionView* m_view;
    bool* m_editing;
};

bool Same(const Description& a, const Description& b) {
    return SameRecord(a, b) && a.genre == b.genre;
}

}  // namespace

// The shown records as table rows; a cell's text is made when the table
// draws it, so a week of songs costs no more to show than a screenful.
class DescriptionModel final : public QAbstractTableModel {
public:
    DescriptionModel(const std::vector<Description>& rows, QObject* parent)
        : QAbstractTableModel(parent), m_rows(rows) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : kDescriptionColumnCount;
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        static const char* const kTitles[kDescriptionColumnCount] = {
            QT_TR_NOOP("Start"), QT_TR_NOOP("End"),   QT_TR_NOOP("Length"), QT_TR_NOOP("Artist"),  QT_TR_NOOP("Title"),
            QT_TR_NOOP("Album"), QT_TR_NOOP("Year"), QT_TR_NOOP("Genre"),  QT_TR_NOOP("Recorded")};
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= kDescriptionColumnCount)
            return QAbstractTableModel::headerData(section, orientation, role);
        return DescriptionView::tr(kTitles[section]);
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        Qt::ItemFlags f = QAbstractTableModel::flags(index);
        if (index.column() == kColGenre) f |= Qt::ItemIsEditable;
        return f;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size())) return {};
        const Description& d = m_rows[static_cast<size_t>(index.row())];
        const int column = index.column();
        if (role == Qt::DisplayRole) return Text(d, column);
        if (column == kColGenre && role == Qt::UserRole) return d.genre;
        if (column == kColGenre && role == Qt::ToolTipRole) return DescriptionView::tr("Double-click to choose the genre");
        if (column == kColCoverage && role == Qt::ForegroundRole && d.coverage != kCoverageComplete)
            return d.coverage == kCoveragePartial ? QColor(180, 120, 0) : QColor(180, 0, 0);
        return {};
    }
    static QString Text(const Description& d, int column) {
        switch (column) {
        case kColStart: return TimeCell(d.start);
        case kColEnd: return TimeCell(d.end);
        case kColLength: return LengthCell(d.end - d.start);
        case kColArtist: return QString::fromStdString(d.artist);
        case kColTitle: return QString::fromStdString(d.title);
        case kColAlbum: return QString::fromStdString(d.album);
        case kColYear: return QString::fromStdString(d.year);
        case kColGenre: return GenreText(d.genre);
        case kColCoverage: return DescriptionView::CoverageText(d.coverage);
        default: return {};
        }
    }
    // `change` replaces the rows.
    void Reset(const std::function<void()>& change) {
        beginResetModel();
        change();
        endResetModel();
    }
    void RowChanged(int row) { emit dataChanged(index(row, 0), index(row, kDescriptionColumnCount - 1)); }

private:
    const std::vector<Description>& m_rows;
};

DescriptionView::DescriptionView(QWidget* parent)
    : QWidget(parent),
      m_caption(new QLabel(this)),
      m_header2(new QLineEdit(this)),
      m_header3(new QLineEdit(this)),
      m_upload(new QPushButton(tr("Upload to the service"), this)),
      m_table(new QTableView(this)),
      m_model(new DescriptionModel(m_shown, this)) {
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(m_caption, 1);
    top->addWidget(m_upload);
    layout->addLayout(top);
    auto* form = new QFormLayout;
    form->addRow(tr("Playlist note:"), m_header2);
    form->addRow(tr("Source note:"), m_header3);
    layout->addLayout(form);
    layout->addWidget(m_table, 1);

    m_header2->setObjectName(QStringLiteral("playlistNote"));
    m_header3->setObjectName(QStringLiteral("sourceNote"));
    m_header2->setPlaceholderText(tr("free text kept in the description file"));
    m_header3->setPlaceholderText(tr("free text kept in the description file"));
    connect(m_header2, &QLineEdit::editingFinished, this, &DescriptionView::SaveHeaders);
    connect(m_header3, &QLineEdit::editingFinished, this, &DescriptionView::SaveHeaders);
    connect(m_upload, &QPushButton::clicked, this, &DescriptionView::uploadRequested);

    m_table->setModel(m_model);
    // Column widths from the first rows, not from a week of songs.
    m_table->verticalHeader()->setResizeContentsPrecision(kMeasuredRows);
    m_table->horizontalHeader()->setResizeContentsPrecision(kMeasuredRows);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked);
    m_table->verticalHeader()->setVisible(false);
    m_table->horizontalHeader()->setStretchLastSection(true);
    auto* genres = new GenreDelegate(this, &m_genreEditing);
    m_table->setItemDelegateForColumn(kColGenre, genres);
    // A read that waited for the genre editor is shown once it is closed.
    connect(genres, &QAbstractItemDelegate::closeEditor, this, [this] {
        QTimer::singleShot(0, this, [this] {
            if (!m_held || m_genreEditing) return;
            DescriptionListing held = std::move(*m_held);
            m_held.reset();
            Show(std::move(held));
        });
    });
    connect(m_table, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        std::string why;
        if (index.column() != kColGenre && !EditProperties(index.row(), &why) && !why.empty())
            emit statusText(QString::fromStdString(why));
    });
}

std::string DescriptionView::FilePath() const {
    return m_folder.empty() ? std::string() : m_folder + "desc.des";
}

void DescriptionView::SetStream(const std::string& name) {
    if (name != m_stream) {
        // Another stream's rows and notes are not shown while it is read.
        m_held.reset();
        m_header2->setText({});
        m_header3->setText({});
        m_stream = name;
        Fill([this] { m_shown.clear(); });
    }
    m_folder = StreamNameFile::IsSafeFolderName(name) ? StreamNameFile::StreamRoot() + name + "/"
                                                      : std::string();
    Reload();
}

void DescriptionView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_stale) Reload();
}

void DescriptionView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // What it shows may change meanwhile (downloads, the stream view).
    if (parentWidget()) m_stale = true;
}

DescriptionView::~DescriptionView() {
    if (m_reader.joinable()) m_reader.join();
}

void DescriptionView::Reload() {
    m_stale = parentWidget() != nullptr && !isVisible();
    if (m_stale) return;
    StartRead();
}

void DescriptionView::StartRead() {
    if (m_reader.joinable()) {
        m_readAgain = true;
        return;
    }
    m_readAgain = false;
    m_readDone = false;
    m_read = std::make_unique<DescriptionListing>();
    m_reader = std::thread([this, folder = m_folder, into = m_read.get()] {
        *into = ReadDescriptionListing(folder);
        m_readDone = true;
        QMetaObject::invokeMethod(this, [this] { TakeRead(); }, Qt::QueuedConnection);
    });
    ShowCaption();
}

void DescriptionView::TakeRead() {
    if (!m_reader.joinable() || !m_readDone.load()) return;
    m_reader.join();
    CollectRead();
}

void DescriptionView::CollectRead() {
    std::unique_ptr<DescriptionListing> read = std::move(m_read);
    // A read asked for meanwhile (another stream, a change written) replaces it.
    if (m_readAgain) {
        StartRead();
        return;
    }
    if (read) Show(std::move(*read));
}

void DescriptionView::FinishReading() {
    while (m_reader.joinable()) {
        m_reader.join();
        CollectRead();
    }
    if (m_held && !m_genreEditing) {
        Show(std::move(*m_held));
        m_held.reset();
    }
}

void DescriptionView::Show(DescriptionListing listing) {
    // An open genre editor would be closed by the new rows: they wait for it.
    if (m_genreEditing) {
        m_held = std::move(listing);
        return;
    }
    m_held.reset();
    // The selected row stays selected where its record is still listed.
    std::optional<Description> selected;
    const int row = m_table->currentIndex().row();
    if (row >= 0 && row < static_cast<int>(m_shown.size()) && m_table->selectionModel()->isRowSelected(row, {}))
        selected = m_shown[static_cast<size_t>(row)];
    // A header the user is changing keeps the user's text until it is saved.
    if (!m_header2->isModified()) m_header2->setText(QString::fromStdString(listing.header2));
    if (!m_header3->isModified()) m_header3->setText(QString::fromStdString(listing.header3));
    Fill([&] { m_shown = std::move(listing.records); });
    if (!selected) return;
    for (size_t i = 0; i < m_shown.size(); ++i) {
        if (!SameRecord(m_shown[i], *selected)) continue;
        m_table->selectRow(static_cast<int>(i));
        break;
    }
}

void DescriptionView::ShowCaption() {
    if (m_stream.empty()) {
        m_caption->setText(tr("No stream chosen"));
        return;
    }
    const QString name = QString::fromStdString(m_stream).toHtmlEscaped();
    if (m_reader.joinable()) {
        m_caption->setText(tr("<b>%1</b>: reading the descriptions…").arg(name));
        return;
    }
    m_caption->setText(tr("<b>%1</b>: %n description(s)", nullptr, static_cast<int>(m_shown.size())).arg(name));
}

QString DescriptionView::CoverageText(int coverage) {
    switch (coverage) {
    case kCoverageComplete: return tr("complete");
    case kCoveragePartial: return tr("partly");
    default: return tr("not recorded");
    }
}

void DescriptionView::Fill(const std::function<void()>& change) {
    m_model->Reset(change);
    ShowCaption();
    m_upload->setEnabled(!m_shown.empty());
    m_table->resizeColumnsToContents();
}

QString DescriptionView::CellText(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(m_shown.size())) return {};
    return DescriptionModel::Text(m_shown[static_cast<size_t>(row)], column);
}

bool DescriptionView::SetGenre(int row, int genre, std::string* why) {
    if (genre < -1 || genre >= kGenreCount) genre = -1;
    return ChangeShown(row, [genre](Description& d) { d.genre = genre; }, why);
}

bool DescriptionView::EditProperties(int row, std::string* why) {
    if (row < 0 || row >= static_cast<int>(m_shown.size())) return false;
    TrackPropertiesDialog form(m_shown[static_cast<size_t>(row)], window());
    if (!QtUserPrompt::RunDialogWith(GetUserPrompt(), form)) return false;
    const Description edited = form.Track();
    return ChangeShown(
        row,
        [&edited](Description& d) {
            d.artist = edited.artist;
            d.title = edited.title;
            d.album = edited.album;
            d.year = edited.year;
            d.comment = edited.comment;
            d.genre = edited.genre;
        },
        why);
}

bool DescriptionView::ChangeShown(int row, const std::function<void(Description&)>& change, std::string* why) {
    if (row < 0 || row >= static_cast<int>(m_shown.size()) || m_folder.empty()) {
        if (why) *why = "no such description";
        return false;
    }
    const Description shown = m_shown[static_cast<size_t>(row)];
    bool found = false;
    DescriptionStore store(m_folder, "desc");
    std::string problem;
    const bool saved = store.Update(
        [&](DescriptionStore& s) {
            for (auto& record : s.Records())
                if (Same(*record, shown)) {
                    change(*record);
                    found = true;
                }
            return found;
        },
        &problem);
    if (!found && problem.empty())
        problem = "The description was changed meanwhile; the view shows it as it is now";
    if (saved && found) {
        // The row shows the change at once; the read after it brings what
        // others wrote meanwhile.
        change(m_shown[static_cast<size_t>(row)]);
        m_model->RowChanged(row);
    }
    Reload();
    if (!saved || !found) {
        if (why) *why = problem;
        return false;
    }
    return true;
}

bool DescriptionView::SetHeaders(const std::string& second, const std::string& third, std::string* why) {
    if (m_folder.empty()) return false;
    // Headers are single lines of the file.
    auto line = [](std::string text) {
        std::replace(text.begin(), text.end(), '\n', ' ');
        std::replace(text.begin(), text.end(), '\r', ' ');
        return text;
    };
    DescriptionStore store(m_folder, "desc");
    const bool ok = store.Update(
        [&](DescriptionStore& s) {
            if (s.header[1] == line(second) && s.header[2] == line(third)) return false;
            s.header[1] = line(second);
            s.header[2] = line(third);
            return true;
        },
        why);
    return ok;
}

void DescriptionView::SaveHeaders() {
    std::string why;
    if (!SetHeaders(m_header2->text().toStdString(), m_header3->text().toStdString(), &why) &&
        !why.empty()) {
        emit statusText(tr("The notes were not saved: %1").arg(QString::fromStdString(why)));
        return;
    }
    // The file holds them now; a read begun before may not.
    m_header2->setModified(false);
    m_header3->setModified(false);
    if (Reading()) m_readAgain = true;
}

}  // namespace wk::ui
