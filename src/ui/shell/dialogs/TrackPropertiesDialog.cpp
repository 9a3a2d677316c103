#include "ui/shell/dialogs/TrackPropertiesDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/PrintableText.h"
#include "export/Id3Tag.h"
#include "ui/shell/StreamViewText.h"

namespace wk::ui {
namespace {

QLineEdit* Field(const char* name, const std::string& value, size_t limit) {
    auto* edit = new QLineEdit(QString::fromStdString(value));
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(static_cast<int>(limit));
    return edit;
}

// A tab or line end pasted into a field would break desc.des into fields
// and lines of its own.
std::string Text(const QLineEdit* edit) {
    return PrintableText(edit->text().trimmed().toStdString());
}

}  // namespace

TrackPropertiesDialog::TrackPropertiesDialog(const Description& track, QWidget* parent)
    : QDialog(parent), m_track(track), m_genre(new QComboBox), m_problem(new QLabel) {
    setWindowTitle(tr("mp3 track properties"));
    const TrackProperties shown = TrackProperties::From(track);
    constexpr size_t kText = TrackProperties::kTextLimit;
    m_title = Field("title", shown.title, kText);
    m_artist = Field("artist", shown.artist, kText);
    m_album = Field("album", shown.album, kText);
    m_year = Field("year", shown.year, TrackProperties::kYearLimit);
    m_comment = Field("comment", shown.comment, kText);
    m_year->setMaximumWidth(m_year->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);

    m_genre->setObjectName(QStringLiteral("genre"));
    m_genre->addItem(QString());
    for (int g = 0; g < kGenreCount; ++g)
        m_genre->addItem(QStringLiteral("%1.%2").arg(g).arg(QString::fromStdString(GetGenreName(g))));
    m_genre->setCurrentIndex(shown.genre + 1);
    m_genre->setMaxVisibleItems(20);

    auto* form = new QFormLayout(this);
    if (track.end > track.start)
        form->addRow(new QLabel(tr("Song from %1 to %2 (%3)")
                                    .arg(DayAndTime(track.start), TimeOf(track.end), Span(track.end - track.start))));
    form->addRow(tr("Title:"), m_title);
    form->addRow(tr("Artist:"), m_artist);
    form->addRow(tr("Album:"), m_album);
    form->addRow(tr("Year:"), m_year);
    form->addRow(tr("Comment:"), m_comment);
    form->addRow(tr("Genre:"), m_genre);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->hide();
    form->addRow(m_problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_artist->setFocus();
}

void TrackPropertiesDialog::accept() {
    TrackProperties entered;
    entered.title = Text(m_title);
    entered.artist = Text(m_artist);
    entered.album = Text(m_album);
    entered.year = Text(m_year);
    entered.comment = Text(m_comment);
    entered.genre = m_genre->currentIndex() - 1;
    if (!entered.ApplyTo(m_track)) {
        m_problem->setText(tr("Invalid name! The artist is needed: the exported file is named after it."));
        m_problem->show();
        m_artist->setFocus();
        return;
    }
    QDialog::accept();
}

}  // namespace wk::ui
