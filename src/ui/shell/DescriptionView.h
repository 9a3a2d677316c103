#pragma once
// The description view: the active stream's descriptions (desc.des) with
// their times, tags and coverage against what is recorded, a genre cell
// editor, the file's two free header texts and the upload button.
//
// Every change is a read-modify-write of desc.des under its file lock
// (DescriptionStore::Update), so what the playlist download or another
// process wrote meanwhile is kept; a record that changed under the view is
// not touched, and the view reloads and says so.
//
// The list is read on a thread of its own (a scan of the stream folder);
// meanwhile the caption says so and the rows read before stay. A read taken
// in never overwrites a header field the user has changed and not yet
// saved, and waits while the genre cell is being edited.
//
// Threading: GUI thread; the reading thread touches only its own result.

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "descriptions/Description.h"
#include "descriptions/DescriptionListing.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace wk::ui {

enum DescriptionColumn { kColStart, kColEnd, kColLength, kColArtist, kColTitle, kColAlbum,
                         kColYear, kColGenre, kColCoverage, kDescriptionColumnCount };

class DescriptionModel;

class DescriptionView final : public QWidget {
    Q_OBJECT
protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

public:
    explicit DescriptionView(QWidget* parent = nullptr);
    ~DescriptionView() override;

    void SetStream(const std::string& name);
    // Reads the stream's descriptions and their coverage on the reading
    // thread. A view hidden in the window reads when it is shown next
    // instead.
    void Reload();
    bool Reading() const { return m_reader.joinable(); }
    // Waits for the reads under way and takes them in (tests, screenshots).
    void FinishReading();

    // The record shown in `row` gets `genre` (-1: none). False with `why`
    // when desc.des could not be written or the record is no longer there.
    bool SetGenre(int row, int genre, std::string* why = nullptr);
    // The track properties form for the record shown in `row` (a double
    // click on any cell but the genre's), through the program's prompt;
    // true when the tags were changed in desc.des.
    bool EditProperties(int row, std::string* why = nullptr);
    // Headers 2 and 3 of desc.des.
    bool SetHeaders(const std::string& second, const std::string& third, std::string* why = nullptr);

    QTableView* Table() const { return m_table; }
    // The text of a cell as the table shows it.
    QString CellText(int row, int column) const;
    const std::vector<Description>& Shown() const { return m_shown; }
    const std::string& Stream() const { return m_stream; }
    std::string FilePath() const;

    static QString CoverageText(int coverage);

signals:
    void uploadRequested();
    void statusText(const QString& text);

private:
    void StartRead();
    void TakeRead();
    void CollectRead();
    void Show(DescriptionListing listing);
    // Shows the rows `change` leaves in m_shown.
    void Fill(const std::function<void()>& change);
    void ShowCaption();
    bool ChangeShown(int row, const std::function<void(Description&)>& change, std::string* why);
    void SaveHeaders();

    std::string m_stream;
    std::string m_folder;
    std::vector<Description> m_shown;  // in row order
    QLabel* m_caption;
    QLineEdit* m_header2;
    QLineEdit* m_header3;
    QPushButton* m_upload;
    QTableView* m_table;
    DescriptionModel* m_model;
    bool m_stale = false;  // hidden since the last read
    bool m_genreEditing = false;  // the genre cell's editor is open
    std::thread m_reader;
    std::atomic<bool> m_readDone{false};
    bool m_readAgain = false;  // asked to read while a read ran
    std::unique_ptr<DescriptionListing> m_read;  // the reading thread's result
    std::optional<DescriptionListing> m_held;    // read while the genre cell was edited
};

}  // namespace wk::ui
