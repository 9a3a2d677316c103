#include "ui/shell/dialogs/OptionsDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "app/ConfigValues.h"
#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "recording/EncoderLibrary.h"
#include "recording/EngineChoice.h"
#include "ui/shell/QtUserPrompt.h"

namespace wk::ui {
namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* Note(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: palette(mid)"));
    return label;
}

struct Choice {
    QString label;
    std::string value;
};

// A list of the allowed values; a stored value not among them is shown as
// it is, so that OK names the problem if it is kept.
QComboBox* ChoiceBox(const std::vector<Choice>& choices, const std::string& current) {
    auto* box = new QComboBox;
    for (const Choice& c : choices) box->addItem(c.label, Q(c.value));
    int at = box->findData(Q(current));
    if (at < 0) {
        box->addItem(QObject::tr("%1 (not a valid value)").arg(Q(current)), Q(current));
        at = box->count() - 1;
    }
    box->setCurrentIndex(at);
    return box;
}

std::string ChoiceOf(const QComboBox* box) {
    return box->currentData().toString().toStdString();
}

// The colour a value stands for, or an invalid one when it is no colour.
QColor ColourOf(const std::string& key, const std::string& value) {
    if (!ConfigValueProblem(key, value).empty()) return {};
    ConfigStore shown;
    shown.SetString(key, value);
    const RgbColor c = shown.GetColor(key);
    return QColor(c.red, c.green, c.blue);
}

}  // namespace

OptionsDialog::OptionsDialog(QWidget* parent)
    : QDialog(parent), m_tabs(new QTabWidget), m_problem(new QLabel) {
    setWindowTitle(tr("Options"));
    m_config.Load();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    using Build = QWidget* (OptionsDialog::*)();
    const std::pair<QString, Build> tabs[] = {{tr("Recording"), &OptionsDialog::RecordingTab},
                                              {tr("Folders"), &OptionsDialog::FoldersTab},
                                              {tr("Service"), &OptionsDialog::ServiceTab},
                                              {tr("TV input"), &OptionsDialog::TvTab},
                                              {tr("Colours"), &OptionsDialog::ColoursTab}};
    for (const auto& [title, build] : tabs) {
        m_buildingTab = m_tabs->count();
        m_tabs->addTab((this->*build)(), title);
    }
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->setWordWrap(true);
    m_problem->hide();
    layout->addWidget(m_problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    for (Field& f : m_fields) f.shown = f.value();
    resize(620, sizeHint().height());
}

void OptionsDialog::Add(const std::string& key, QWidget* widget, std::function<std::string()> value,
                        const QString& label) {
    if (widget->objectName().isEmpty()) widget->setObjectName(Q(key));
    QString name = label;
    if (name.endsWith(QLatin1Char(':'))) name.chop(1);
    m_fields.push_back({key, name, widget, std::move(value), m_buildingTab, {}});
}

QWidget* OptionsDialog::EncoderBox() {
    auto* box = new QGroupBox(tr("Encoder"));
    auto* grid = new QFormLayout(box);
    auto* group = new QButtonGroup(box);
    const std::string current = m_config.GetString("Encoder");
    const std::pair<const char*, QString> engines[] = {{"Lame encoder", tr("LAME (MP3)")},
                                                       {"Blade encoder", tr("Blade (MP3)")},
                                                       {"Vorbis encoder", tr("Vorbis (Ogg)")}};
    for (const auto& [setting, label] : engines) {
        auto* radio = new QRadioButton(label);
        radio->setObjectName(QString::fromLatin1(setting));
        radio->setChecked(current == setting);
        group->addButton(radio);
        auto* note = Note(QString());
        grid->addRow(radio, note);
        m_encoders.emplace_back(setting, radio);
        m_encoderNotes.emplace_back(setting, note);
    }
    auto* import = new QPushButton(tr("Import mp3 Encoder..."));
    auto* find = new QPushButton(tr("Find encoder libraries on the web"));
    auto* row = new QHBoxLayout;
    row->addWidget(import);
    row->addWidget(find);
    row->addStretch(1);
    grid->addRow(row);
    connect(import, &QPushButton::clicked, this, &OptionsDialog::ImportEncoder);
    connect(find, &QPushButton::clicked, this, [] {
        QDesktopServices::openUrl(QUrl(QStringLiteral("https://duckduckgo.com/?q=lame_enc.so+BladeEnc+interface")));
    });
    // An unknown stored value checks no engine; OK then names the problem.
    Add("Encoder", box, [this, current] {
        for (const auto& [setting, radio] : m_encoders)
            if (radio->isChecked()) return setting;
        return current;
    }, tr("Encoder"));
    ShowEncoders();
    return box;
}

void OptionsDialog::ShowEncoders() {
    const std::vector<EngineAvailability> engines = ListEncoderEngines();
    for (size_t i = 0; i < m_encoders.size(); ++i) {
        QRadioButton* radio = m_encoders[i].second;
        QLabel* note = m_encoderNotes[i].second;
        for (const EngineAvailability& e : engines) {
            if (m_encoders[i].first != e.setting) continue;
            // The one chosen stays shown as chosen even when it cannot record.
            radio->setEnabled(e.usable || radio->isChecked());
            const bool missing = e.why.find("No such file") != std::string::npos;
            note->setText(e.usable ? (e.library.empty() ? tr("ready") : tr("ready: %1").arg(Q(e.library)))
                          : missing ? tr("not installed: import the library with the button below")
                                    : tr("cannot record: %1").arg(Q(e.why)));
            note->setToolTip(Q(e.why));
        }
    }
}

void OptionsDialog::ImportEncoder() {
    const QString file = QFileDialog::getOpenFileName(
        this, tr("Import mp3 Encoder"), QString(),
        tr("Lame Encoder (lame_enc.so);;Blade Encoder (bladeenc.so);;Libraries (*.so*)"));
    if (file.isEmpty()) return;
    std::string why;
    if (!ImportEncoderLibrary(file.toStdString(), &why)) {
        Refuse(m_fields.front(), tr("%1: %2").arg(file, Q(why)));
        return;
    }
    m_problem->hide();
    ShowEncoders();
}

QWidget* OptionsDialog::RecordingTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    form->addRow(EncoderBox());
    auto* mode = ChoiceBox({{tr("Stereo"), "STEREO"}, {tr("Dual channel"), "DUALCHANNEL"}, {tr("Mono"), "MONO"}},
                           m_config.GetString("Mode"));
    form->addRow(tr("Mode:"), mode);
    Add("Mode", mode, [mode] { return ChoiceOf(mode); }, tr("Mode"));
    std::vector<Choice> rates;
    for (int rate : kBitRates) rates.push_back({tr("%1 kbit/s").arg(rate), std::to_string(rate)});
    auto* rate = ChoiceBox(rates, m_config.GetString("BitRate"));
    form->addRow(tr("Bit rate:"), rate);
    Add("BitRate", rate, [rate] { return ChoiceOf(rate); }, tr("Bit rate"));
    const auto spin = [this, form](const char* key, const QString& label, int max, const QString& suffix) {
        auto* box = new QSpinBox;
        box->setRange(1, max);
        box->setSuffix(suffix);
        box->setValue(m_config.GetInt(key));
        form->addRow(label, box);
        Add(key, box, [box] { return std::to_string(box->value()); }, label);
    };
    spin("SingleFileLength", tr("Chunk length:"), kMaxChunkSeconds, tr(" s"));
    spin("DiskSpace", tr("Disk allowance:"), kMaxDiskSpaceMb, tr(" MB"));
    form->addRow(Note(tr("The streams together keep at most the disk allowance; the oldest recording goes first. "
                         "Changes apply from the next recording on.")));
    AddCheck(form, "EnableSilenceDet", tr("Find songs at silences while recording"));
    return page;
}

QWidget* OptionsDialog::FoldersTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    AddLine(form, "ExportPath", tr("Songs:"), true);
    AddLine(form, "StreamPath", tr("Streams:"), true);
    form->addRow(Note(tr("Recorded streams stay where they are when the streams folder changes.")));
    std::vector<Choice> levels;
    for (const char* name : kTraceLevelNames) levels.push_back({QString::fromLatin1(name), name});
    // The level names compare without case; the list shows the stored spelling's match.
    std::string current = m_config.GetString("TraceLevel");
    for (const char* name : kTraceLevelNames)
        if (QString::fromStdString(current).compare(QLatin1String(name), Qt::CaseInsensitive) == 0) current = name;
    auto* level = ChoiceBox(levels, current);
    form->addRow(tr("Trace level:"), level);
    Add("TraceLevel", level, [level] { return ChoiceOf(level); }, tr("Trace level"));
    return page;
}

QWidget* OptionsDialog::ServiceTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    AddLine(form, "DefaultURL", tr("Web site:"));
    AddLine(form, "ScheduleURL", tr("Schedule page:"));
    AddLine(form, "UploadURL", tr("Upload page:"));
    AddLine(form, "TimeCheckURL", tr("Time check page:"));
    AddLine(form, "URLChanelList", tr("Channel list:"));
    AddLine(form, "CountryCode", tr("Country code:"));
    AddCheck(form, "AutoScheduleDownload", tr("Download new schedule entries every five minutes"));
    AddCheck(form, "AutoPlaylistDownload", tr("Download playlists every five minutes"));
    AddCheck(form, "AutoExport", tr("Create music files from downloaded playlists"));
    return page;
}

QWidget* OptionsDialog::TvTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    const int kind = m_config.GetTvInputKind();
    auto* group = new QButtonGroup(page);
    const QString kinds[] = {tr("TV card, tuned to each channel's own frequency"),
                             tr("TV card on one fixed channel (a satellite receiver or another source)"),
                             tr("Sound card input, no TV card"), tr("Sound card input, the TV card left alone")};
    auto* kindsBox = new QGroupBox(tr("The sound comes from"));
    auto* kindsLayout = new QVBoxLayout(kindsBox);
    for (int k = 1; k <= 4; ++k) {
        auto* radio = new QRadioButton(kinds[k - 1]);
        radio->setObjectName(QStringLiteral("DirectXCable%1").arg(k));
        radio->setChecked(k == kind);
        group->addButton(radio, k);
        kindsLayout->addWidget(radio);
    }
    form->addRow(kindsBox);
    Add("DirectXCable", kindsBox, [group] { return std::to_string(group->checkedId()); }, kindsBox->title());
    AddLine(form, "FreqSatelliteModeSignal", tr("Fixed channel:"));
    AddCheck(form, "TVInputAntenna", tr("The card's antenna input (else its cable input)"));
    AddCheck(form, "AutoChannelSwitch", tr("Switch the card to the channel of each scheduled recording"));
    form->addRow(Note(tr("A channel is a frequency in units of 62.5 kHz (TV) or 62.5 Hz (radio).")));
    const auto follow = [page, group] {
        const int k = group->checkedId();
        for (const char* key : {"FreqSatelliteModeSignal", "TVInputAntenna", "AutoChannelSwitch"})
            if (auto* w = page->findChild<QWidget*>(QString::fromLatin1(key))) w->setEnabled(k == 1 || k == 2);
        if (auto* w = page->findChild<QWidget*>(QStringLiteral("FreqSatelliteModeSignal"))) w->setEnabled(k == 2);
    };
    connect(group, &QButtonGroup::idToggled, this, follow);
    follow();
    return page;
}

QWidget* OptionsDialog::ColoursTab() {
    auto* page = new QWidget;
    auto* form = new QFormLayout(page);
    AddColour(form, "RecordColor", tr("Recorded stretches:"));
    AddColour(form, "WaveColor", tr("Wave form:"));
    AddColour(form, "BckgrdColor", tr("Background:"));
    form->addRow(Note(tr("Red, green and blue from 0 to 255; empty is the built-in colour.")));
    return page;
}

void OptionsDialog::AddLine(QFormLayout* form, const char* key, const QString& label, bool folder) {
    auto* edit = new QLineEdit(Q(m_config.GetString(key)));
    edit->setCursorPosition(0);  // a long address shows its start
    Add(key, edit, [edit] { return edit->text().toStdString(); }, label);
    if (!folder) {
        form->addRow(label, edit);
        return;
    }
    auto* browse = new QPushButton(tr("Browse..."));
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);
    form->addRow(label, row);
    connect(browse, &QPushButton::clicked, this, [this, edit, label] {
        const QString dir = QFileDialog::getExistingDirectory(this, label, edit->text());
        if (!dir.isEmpty()) edit->setText(dir);
    });
}

void OptionsDialog::AddCheck(QFormLayout* form, const char* key, const QString& label) {
    const std::string value = m_config.GetString(key);
    auto* box = new QCheckBox(label);
    // An undecided box ("2", from older files) stays undecided until clicked.
    if (value == "2") {
        box->setTristate(true);
        box->setCheckState(Qt::PartiallyChecked);
    } else {
        box->setChecked(value == "1");
    }
    connect(box, &QCheckBox::clicked, box, [box] { box->setTristate(false); });
    form->addRow(box);
    Add(key, box, [box] {
        switch (box->checkState()) {
        case Qt::Checked: return std::string("1");
        case Qt::PartiallyChecked: return std::string("2");
        default: return std::string("0");
        }
    }, label);
}

void OptionsDialog::AddColour(QFormLayout* form, const char* key, const QString& label) {
    const RgbColor builtIn = ConfigStore().GetColor(key);
    auto* edit = new QLineEdit(Q(m_config.GetString(key)));
    edit->setPlaceholderText(tr("built-in (%1,%2,%3)").arg(builtIn.red).arg(builtIn.green).arg(builtIn.blue));
    auto* swatch = new QLabel;
    swatch->setFixedSize(40, 22);
    auto* choose = new QPushButton(tr("Choose..."));
    auto* reset = new QPushButton(tr("Built-in"));
    auto* row = new QHBoxLayout;
    row->addWidget(swatch);
    row->addWidget(edit, 1);
    row->addWidget(choose);
    row->addWidget(reset);
    form->addRow(label, row);
    const std::string k = key;
    const auto paint = [swatch, edit, k] {
        const QColor c = ColourOf(k, edit->text().toStdString());
        swatch->setStyleSheet(c.isValid() ? QStringLiteral("background: %1; border: 1px solid #808080").arg(c.name())
                                          : QStringLiteral("border: 1px dashed #c00000"));
    };
    connect(edit, &QLineEdit::textChanged, this, paint);
    connect(reset, &QPushButton::clicked, edit, &QLineEdit::clear);
    connect(choose, &QPushButton::clicked, this, [this, edit, k, label] {
        const QColor start = ColourOf(k, edit->text().toStdString());
        const QColor c = QColorDialog::getColor(start.isValid() ? start : QColor(Qt::white), this, label);
        if (c.isValid()) edit->setText(QStringLiteral("%1,%2,%3").arg(c.red()).arg(c.green()).arg(c.blue()));
    });
    paint();
    Add(key, edit, [edit] { return edit->text().toStdString(); }, label);
}

void OptionsDialog::Refuse(const Field& field, const QString& why) {
    m_problem->setText(why);
    m_problem->show();
    m_tabs->setCurrentIndex(field.tab);
    field.widget->setFocus();
}

void OptionsDialog::accept() {
    std::vector<std::pair<std::string, std::string>> changes;
    for (const Field& f : m_fields) {
        const std::string value = f.value();
        if (value == f.shown) continue;
        if (const std::string problem = ConfigValueProblem(f.key, value); !problem.empty()) {
            Refuse(f, tr("%1 (%2 on \"%3\"): \"%4\" is refused: %5.")
                          .arg(f.label, Q(f.key), m_tabs->tabText(f.tab), Q(value), Q(problem)));
            return;
        }
        changes.emplace_back(f.key, value);
    }
    if (!changes.empty()) {
        ConfigStore config;
        config.Load();
        for (const auto& [key, value] : changes) config.SetString(key, value);
        std::string why;
        if (!config.Save(&why)) {
            Refuse(m_fields.front(), tr("Nothing was saved: %1").arg(Q(why)));
            return;
        }
    }
    m_saved.clear();
    for (const auto& [key, value] : changes) {
        Trace(kTraceInfo, "Options: %s set to \"%s\"", key.c_str(), value.c_str());
        m_saved.push_back(key);
    }
    QDialog::accept();
}

std::optional<std::vector<std::string>> RunOptions(UserPrompt& prompt, QWidget* parent) {
    OptionsDialog dialog(parent);
    if (!QtUserPrompt::RunDialogWith(prompt, dialog)) return std::nullopt;
    // The trace follows its level at once; the rest is read where it is used.
    for (const std::string& key : dialog.Saved())
        if (key == "TraceLevel") SetUpTraceFromConfig();
    return dialog.Saved();
}

}  // namespace wk::ui
