#pragma once
// "mp3 track properties": the tags a song is exported with (title, artist,
// album, year, comment, genre), for a song being marked in the stream view
// and for one chosen in the description view.
//
// The fields hold at most what the ID3v1 tag can carry (30 characters, the
// year 4). OK with an empty artist is refused: the file names of the export
// are made from it. The refusal goes to the event log ("Invalid name!") and
// the form stays open, so nothing typed is lost.
//
// Threading: GUI thread.

#include <QDialog>

#include "descriptions/Description.h"

class QComboBox;
class QLabel;
class QLineEdit;

namespace wk::ui {

class TrackPropertiesDialog final : public QDialog {
    Q_OBJECT
public:
    // The genre list: an empty item (no genre), then "0.Blues" to
    // "125.Dance Hall"; item i stands for genre i - 1.
    static constexpr int kGenreItems = 127;

    TrackPropertiesDialog(const Description& track, QWidget* parent = nullptr);

    // The track with the fields stored, once the form was accepted.
    const Description& Track() const { return m_track; }

    void accept() override;

private:
    Description m_track;
    QLineEdit* m_title;
    QLineEdit* m_artist;
    QLineEdit* m_album;
    QLineEdit* m_year;
    QLineEdit* m_comment;
    QComboBox* m_genre;
    QLabel* m_problem;
};

}  // namespace wk::ui
