#include "ui/shell/dialogs/SetupWizard.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "platform/AlsaCaptureCards.h"
#include "platform/MachineSettings.h"
#include "recording/EncoderBase.h"
#include "recording/EncoderLibrary.h"
#include "recording/EngineChoice.h"
#include "server/Credentials.h"
#include "streamstore/StreamListChange.h"
#include "streamstore/StreamNameFile.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/dialogs/SetupWizardParts.h"

namespace wk::ui {
namespace {

QLabel* Note(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

QLabel* ProblemLabel(const char* name) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(name));
    label->setStyleSheet(QStringLiteral("color: #c00000"));
    label->setWordWrap(true);
    label->hide();
    return label;
}

void Say(QLabel* label, const QString& text) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
}

bool SameName(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

const StreamRecord* Named(const std::vector<StreamRecord>& records, const std::string& name) {
    for (const StreamRecord& r : records)
        if (SameName(r.name, name)) return &r;
    return nullptr;
}

}  // namespace

SetupWizard::SetupWizard(QWidget* parent) : QWizard(parent) {
    setWindowTitle(tr("wavkeep set-up wizard"));
    setWizardStyle(QWizard::ClassicStyle);
    setOption(QWizard::NoBackButtonOnStartPage);
    StreamNameFile list;
    list.load();
    for (const auto& r : list.Records()) m_listed.push_back(*r);
    setPage(kAccountPage, MakeAccountPage());
    setPage(kStreamPage, MakeStreamPage());
    setPage(kSoundPage, MakeSoundPage());
    setPage(kTvPage, MakeTvPage());
    setPage(kEncoderPage, MakeEncoderPage());
    connect(this, &QWizard::currentIdChanged, this, [this](int id) {
        if (id == kStreamPage && !m_fetch && !m_fetchDone) FetchChannels();
    });
    resize(620, 460);
}

SetupWizard::~SetupWizard() {
    m_fetch.reset();
    m_level.reset();
}

QWizardPage* SetupWizard::MakeAccountPage() {
    auto* page = new QWizardPage;
    page->setTitle(tr("Your account with the service"));
    page->setSubTitle(tr("Time checks and uploads carry it."));
    m_login = new QLineEdit;
    m_login->setObjectName(QStringLiteral("login"));
    m_password = new QLineEdit;
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    Credentials stored;
    if (ReadCredentials(stored)) {
        m_login->setText(QString::fromStdString(stored.login));
        m_password->setText(QString::fromStdString(stored.password));
    }
    m_accountProblem = ProblemLabel("accountProblem");
    auto* form = new QFormLayout(page);
    form->addRow(Note(tr("The login and password you have with the service. The password is one word of "
                         "printable characters; both are kept in Options.txt, readable by you only.")));
    form->addRow(tr("Login:"), m_login);
    form->addRow(tr("Password:"), m_password);
    form->addRow(m_accountProblem);
    return page;
}

QWizardPage* SetupWizard::MakeStreamPage() {
    auto* page = new QWizardPage;
    page->setTitle(tr("The stream to record"));
    page->setSubTitle(tr("A channel of the service, a stream you have, or a new name."));
    m_stream = new QComboBox;
    m_stream->setObjectName(QStringLiteral("stream"));
    m_stream->setEditable(true);
    m_stream->setInsertPolicy(QComboBox::NoInsert);
    ConfigStore config;
    config.Load();
    for (const StreamRecord& r : m_listed) m_stream->addItem(QString::fromStdString(r.name));
    m_stream->setCurrentText(QString::fromStdString(config.GetString("ActiveStream")));
    m_channelStatus = Note(tr("Asking the service for its channel list..."));
    m_channelStatus->setObjectName(QStringLiteral("channelStatus"));
    m_streamProblem = ProblemLabel("streamProblem");
    auto* form = new QFormLayout(page);
    form->addRow(Note(tr("Recordings go into a folder of this name; the stream becomes the active one and "
                         "scheduled tasks record it.")));
    form->addRow(tr("Stream:"), m_stream);
    form->addRow(m_channelStatus);
    form->addRow(m_streamProblem);
    return page;
}

void SetupWizard::FetchChannels() {
    m_fetch = std::make_unique<ChannelFetch>(this, [this](std::vector<StreamRecord> channels, QString outcome) {
        ShowChannels(std::move(channels), outcome);
    });
}

void SetupWizard::ShowChannels(std::vector<StreamRecord> channels, const QString& outcome) {
    m_channels = std::move(channels);
    const QString typed = m_stream->currentText();
    for (const StreamRecord& r : m_channels) {
        if (Named(m_listed, r.name)) continue;
        m_stream->addItem(QString::fromStdString(r.name));
        m_stream->setItemData(m_stream->count() - 1,
                              r.sourceType == kSourceRadio ? tr("radio, the service's number %1").arg(r.serviceNumber)
                                                           : tr("music TV, the service's number %1").arg(r.serviceNumber),
                              Qt::ToolTipRole);
    }
    m_stream->setCurrentText(typed);
    m_channelStatus->setText(outcome);
    m_fetchDone = true;
    emit channelListDone();
}

QString SetupWizard::StreamProblem() const {
    const std::string name = m_stream->currentText().toStdString();
    if (const StreamRecord* listed = Named(m_listed, name)) {
        if (listed->name != name)
            return tr("The list has this stream as \"%1\"; choose that.").arg(QString::fromStdString(listed->name));
        return {};
    }
    if (const std::string problem = StreamNameFile::NameProblem(name); !problem.empty())
        return tr("\"%1\" cannot name a stream: %2")
            .arg(QString::fromStdString(StreamNameFile::ShownName(name)), QString::fromStdString(problem));
    return {};
}

QWizardPage* SetupWizard::MakeSoundPage() {
    auto* page = new QWizardPage;
    page->setTitle(tr("Sound input"));
    page->setSubTitle(tr("The sound card the broadcast comes in on."));
    m_card = new QComboBox;
    m_card->setObjectName(QStringLiteral("card"));
    const std::vector<CaptureCard> cards = ListCaptureCards();
    QString defaultText = tr("The system's default input");
    for (const CaptureCard& c : cards)
        if (c.number == 0) defaultText += tr(" (card 0: %1)").arg(QString::fromStdString(c.name));
    m_card->addItem(defaultText, 0);
    for (const CaptureCard& c : cards)
        if (c.number > 0) m_card->addItem(tr("Card %1: %2").arg(c.number).arg(QString::fromStdString(c.name)), c.number);
    const int stored = MachineSettings::GetInt(MachineSettings::kLastSelectedMixer, 0);
    const int at = m_card->findData(stored < 1 ? 0 : stored);
    m_card->setCurrentIndex(at < 0 ? 0 : at);
    m_meter = new QProgressBar;
    m_meter->setObjectName(QStringLiteral("meter"));
    m_meter->setRange(0, 60);  // -60 dBFS to full scale
    m_meter->setValue(0);
    m_meter->setFormat(tr("not tested yet"));
    m_levelText = Note(cards.empty() ? tr("ALSA lists no card that can capture; the default input is tried.")
                                     : tr("Play the broadcast and press Test: the meter shows its level."));
    m_levelText->setObjectName(QStringLiteral("levelText"));
    m_testButton = new QPushButton(tr("Test the input (%1 s)").arg(kTestSeconds));
    m_testButton->setObjectName(QStringLiteral("testInput"));
    connect(m_testButton, &QPushButton::clicked, this, &SetupWizard::StartLevelTest);
    auto* form = new QFormLayout(page);
    form->addRow(tr("Record from:"), m_card);
    auto* test = new QHBoxLayout;
    test->addWidget(m_testButton);
    test->addWidget(m_meter, 1);
    form->addRow(test);
    form->addRow(m_levelText);
    return page;
}

void SetupWizard::StartLevelTest() {
    const std::string spec = m_testInput.empty() ? CaptureInputOfCard(m_card->currentData().toInt()) : m_testInput;
    std::string why;
    std::unique_ptr<CaptureDevice> device = CreateCaptureDevice(spec, &why);
    auto test = device ? std::make_unique<LevelTest>(std::move(device), kTestSeconds) : nullptr;
    if (!test || !test->Start(&why)) {
        m_levelText->setText(tr("%1 cannot be opened: %2").arg(QString::fromStdString(spec), QString::fromStdString(why)));
        emit levelTestDone();
        return;
    }
    m_level = std::move(test);
    m_testButton->setEnabled(false);
    m_levelText->setText(tr("Listening to %1...").arg(QString::fromStdString(spec)));
    connect(m_level.get(), &LevelTest::level, this, [this](double db, double) { ShowLevel(db); });
    connect(m_level.get(), &LevelTest::finished, this, [this](double loudest, const QString& outcome) {
        ShowLevel(loudest);
        m_levelText->setText(outcome);
        m_testButton->setEnabled(true);
        m_level.release()->deleteLater();
        emit levelTestDone();
    });
}

void SetupWizard::ShowLevel(double db) {
    m_meter->setValue(static_cast<int>(std::clamp(std::lround(db + 60.0), 0L, 60L)));
    m_meter->setFormat(db < LevelTest::kSilentDb ? tr("silent")
                                                 : tr("peak %1 dBFS").arg(LevelTest::DbText(db)));
}

QWizardPage* SetupWizard::MakeTvPage() {
    auto* page = new QWizardPage;
    page->setTitle(tr("TV input"));
    page->setSubTitle(tr("Whether the sound comes from a TV card the program tunes."));
    m_tvKind = new QButtonGroup(this);
    auto* box = new QVBoxLayout(page);
    const QString kinds[] = {
        tr("TV card, cable input: tuned to each stream's TV tuner channel before it is recorded"),
        tr("TV card with one fixed signal (a satellite receiver): always the channel of "
           "\"FreqSatelliteModeSignal\""),
        tr("No TV card: the sound card's input as it is (radio)"),
        tr("No TV card: another source fed to the sound card")};
    ConfigStore config;
    config.Load();
    for (int kind = 1; kind <= 4; ++kind) {
        auto* button = new QRadioButton(kinds[kind - 1]);
        button->setObjectName(QStringLiteral("tv%1").arg(kind));
        m_tvKind->addButton(button, kind);
        button->setChecked(kind == config.GetTvInputKind());
        box->addWidget(button);
    }
    box->addStretch(1);
    return page;
}

QWizardPage* SetupWizard::MakeEncoderPage() {
    auto* page = new QWizardPage;
    page->setTitle(tr("Encoder"));
    page->setSubTitle(tr("What the recording is compressed with."));
    page->setFinalPage(true);
    m_engine = new QButtonGroup(this);
    auto* box = new QVBoxLayout(page);
    for (int kind : {kEngineLame, kEngineBlade, kEngineVorbis}) {
        auto* button = new QRadioButton;
        button->setObjectName(QStringLiteral("engine%1").arg(kind));
        m_engine->addButton(button, kind);
        box->addWidget(button);
    }
    m_importPath = new QLineEdit;
    m_importPath->setObjectName(QStringLiteral("importPath"));
    m_importPath->setPlaceholderText(tr("a lame_enc.so or bladeenc.so"));
    auto* browse = new QPushButton(tr("Browse..."));
    auto* import = new QPushButton(tr("Import mp3 Encoder"));
    import->setObjectName(QStringLiteral("import"));
    auto* test = new QPushButton(tr("Test encode"));
    test->setObjectName(QStringLiteral("testEncode"));
    auto* row = new QHBoxLayout;
    row->addWidget(m_importPath, 1);
    row->addWidget(browse);
    row->addWidget(import);
    box->addLayout(row);
    box->addWidget(test, 0, Qt::AlignLeft);
    m_encoderStatus = Note(QString());
    m_encoderStatus->setObjectName(QStringLiteral("encoderStatus"));
    box->addWidget(m_encoderStatus);
    m_finishProblem = ProblemLabel("finishProblem");
    box->addWidget(m_finishProblem);
    box->addStretch(1);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString file = QFileDialog::getOpenFileName(
            this, tr("Import mp3 Encoder"), QString(),
            tr("Lame Encoder (lame_enc.so);;Blade Encoder (bladeenc.so);;Libraries (*.so*)"));
        if (!file.isEmpty()) m_importPath->setText(file);
    });
    connect(import, &QPushButton::clicked, this, &SetupWizard::ImportLibrary);
    connect(test, &QPushButton::clicked, this, &SetupWizard::TestEncode);
    ShowEngines();
    ConfigStore config;
    config.Load();
    const int chosen = ChooseEncoderEngine(config);
    if (QAbstractButton* b = m_engine->button(chosen); b && b->isEnabled()) b->setChecked(true);
    else m_engine->button(kEngineVorbis)->setChecked(true);
    return page;
}

void SetupWizard::ShowEngines() {
    for (const EngineAvailability& e : ListEncoderEngines()) {
        QAbstractButton* button = m_engine->button(e.kind);
        bool usable = e.usable;
        QString state = usable ? tr("can record")
                               : e.kind == kEngineVorbis ? tr("cannot record: libvorbisenc is missing")
                                                         : tr("cannot record: no usable %1").arg(QString::fromLatin1(EncoderBase::LibraryName(e.kind)));
        button->setToolTip(usable ? QString::fromStdString(e.library) : QString::fromStdString(e.why));
        for (const std::string& path : m_imports) {
            if (e.kind != kEngineVorbis && QFileInfo(QString::fromStdString(path)).fileName() ==
                                               QString::fromLatin1(EncoderBase::LibraryName(e.kind))) {
                usable = true;
                state = tr("can record with %1 (imported on Finish)").arg(QString::fromStdString(path));
            }
        }
        button->setText(QStringLiteral("%1 - %2").arg(QString::fromLatin1(e.setting), state));
        button->setEnabled(usable);
    }
}

void SetupWizard::ImportLibrary() {
    const std::string path = m_importPath->text().trimmed().toStdString();
    std::string why;
    if (path.empty()) {
        m_encoderStatus->setText(tr("Name the library to import first."));
        return;
    }
    if (!TestEncoderLibrary(path.find('/') == std::string::npos ? "./" + path : path, &why)) {
        m_encoderStatus->setText(tr("%1: %2").arg(QString::fromStdString(path), QString::fromStdString(why)));
        return;
    }
    m_imports.push_back(path);
    ShowEngines();
    m_encoderStatus->setText(tr("%1 is a usable encoder; it is copied into the program home on Finish.")
                                 .arg(QString::fromStdString(path)));
}

void SetupWizard::TestEncode() {
    const int kind = m_engine->checkedId();
    QString report;
    ui::TestEncode(kind, &report);
    for (const std::string& path : m_imports)
        if (kind != kEngineVorbis && QFileInfo(QString::fromStdString(path)).fileName() ==
                                         QString::fromLatin1(EncoderBase::LibraryName(kind)))
            report += tr(" (with the library found now; the imported one is used after Finish)");
    m_encoderStatus->setText(report);
}

bool SetupWizard::validateCurrentPage() {
    if (currentId() == kAccountPage) {
        const std::string problem =
            CredentialsProblem(AccountCredentials(m_login->text().toStdString(), m_password->text().toStdString()));
        Say(m_accountProblem, m_login->text().isEmpty() ? tr("Enter your login.")
                              : QString::fromStdString(problem));
        if (!m_accountProblem->text().isEmpty()) return false;
    }
    if (currentId() == kStreamPage) {
        Say(m_streamProblem, StreamProblem());
        if (!m_streamProblem->text().isEmpty()) return false;
    }
    return QWizard::validateCurrentPage();
}

bool SetupWizard::Finish(QString* why) {
    const std::string login = m_login->text().toStdString();
    const std::string password = m_password->text().toStdString();
    const std::string stream = m_stream->currentText().toStdString();
    // Checks first: a wizard accepted at once must not store half.
    if (login.empty()) *why = tr("The account page wants a login.");
    else if (const std::string p = CredentialsProblem(AccountCredentials(login, password)); !p.empty())
        *why = tr("Account: %1").arg(QString::fromStdString(p));
    else if (const QString p2 = StreamProblem(); !p2.isEmpty()) *why = p2;
    else if (!m_engine->checkedButton() || !m_engine->checkedButton()->isEnabled())
        *why = tr("Choose an encoder that can record.");
    if (!why->isEmpty()) return false;

    std::string failed;
    for (const std::string& path : m_imports)
        if (!ImportEncoderLibrary(path, &failed)) {
            *why = tr("%1 was not imported: %2").arg(QString::fromStdString(path), QString::fromStdString(failed));
            return false;
        }
    if (!StoreAccount(login, password, &failed)) {
        *why = tr("The account was not stored: %1").arg(QString::fromStdString(failed));
        return false;
    }
    StreamListChanges changes;
    if (const StreamRecord* listed = Named(m_listed, stream)) {
        if (listed->active != 1) {
            changes.changed.push_back({*listed, *listed});
            changes.changed.back().after.active = 1;
        }
    } else {
        StreamNameFile list;
        list.load();
        StreamRecord record = NewStreamRecord(list, stream);
        if (const StreamRecord* channel = Named(m_channels, stream)) {
            record.sourceType = channel->sourceType;
            record.serviceNumber = channel->serviceNumber;
        }
        record.active = 1;
        changes.added.push_back(record);
    }
    if (!changes.added.empty() || !changes.changed.empty()) {
        const StreamChangeResult r = ChangeStreamList(changes);
        if (!r.Done()) {
            *why = tr("The stream list was not changed: %1").arg(QString::fromStdString(r.problem));
            return false;
        }
    }
    ConfigStore config;
    config.Load();
    config.SetString("ActiveStream", stream);
    config.SetString("DirectXCable", std::to_string(m_tvKind->checkedId()));
    const int engine = m_engine->checkedId();
    config.SetString("Encoder", engine == kEngineLame    ? "Lame encoder"
                                : engine == kEngineBlade ? "Blade encoder"
                                                         : "Vorbis encoder");
    config.SetString("ConfigRunWizard", "1");
    std::string saveWhy;
    if (!config.Save(&saveWhy)) {
        *why = tr("config.ini was not saved: %1").arg(QString::fromStdString(saveWhy));
        return false;
    }
    if (!MachineSettings::Set(MachineSettings::kLastSelectedMixer, std::to_string(m_card->currentData().toInt()))) {
        *why = tr("machine.ini could not be written.");
        return false;
    }
    Trace(kTraceInfo, "set-up wizard finished: stream %s, input card %d, TV input %d", stream.c_str(),
          m_card->currentData().toInt(), m_tvKind->checkedId());
    return true;
}

void SetupWizard::accept() {
    QString why;
    if (!Finish(&why)) {
        Say(m_finishProblem, why);
        Trace(kTraceInfo, "set-up wizard: %s", why.toStdString().c_str());
        return;
    }
    QWizard::accept();
}

bool SetupWizardDue() {
    ConfigStore config;
    config.Load();
    return config.GetString("ConfigRunWizard") != "1";
}

bool RunSetupWizard(UserPrompt& prompt, QWidget* parent) {
    SetupWizard wizard(parent);
    return QtUserPrompt::RunDialogWith(prompt, wizard);
}

}  // namespace wk::ui
