#include "ui/shell/dialogs/SoundSettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>

#include "app/ConfigValues.h"
#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "platform/AudioMixer.h"
#include "ui/shell/QtUserPrompt.h"

namespace wk::ui {
namespace {

AudioMixerFactory& Factory() {
    static AudioMixerFactory factory;
    return factory;
}

QSlider* VolumeSlider(const char* name) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(QString::fromLatin1(name));
    slider->setRange(0, 100);
    slider->setPageStep(10);
    slider->setMinimumWidth(220);
    return slider;
}

}  // namespace

void SetAudioMixerFactory(AudioMixerFactory factory) {
    Factory() = std::move(factory);
}

std::unique_ptr<AudioMixer> MakeAudioMixer() {
    return Factory() ? Factory()() : CreateAlsaMixer();
}

SoundSettingsDialog::SoundSettingsDialog(AudioMixer& mixer, QWidget* parent)
    : QDialog(parent),
      m_mixer(mixer),
      m_card(new QComboBox),
      m_source(new QComboBox),
      m_capture(VolumeSlider("captureVolume")),
      m_playback(VolumeSlider("playbackVolume")),
      m_captureText(new QLabel),
      m_playbackText(new QLabel),
      m_message(new QLabel) {
    setWindowTitle(tr("Sound settings"));
    m_card->setObjectName(QStringLiteral("card"));
    m_source->setObjectName(QStringLiteral("source"));
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setWordWrap(true);
    m_message->setStyleSheet(QStringLiteral("color: #c00000"));
    auto* form = new QFormLayout(this);
    auto* intro = new QLabel(tr("The card and input the program records from, and how loud. "
                                "The card follows these controls at once; Cancel puts them back."));
    intro->setWordWrap(true);
    form->addRow(intro);
    form->addRow(tr("Sound card:"), m_card);
    form->addRow(tr("Record from:"), m_source);
    const auto volumeRow = [form](const QString& label, QSlider* slider, QLabel* text) {
        auto* row = new QHBoxLayout;
        row->addWidget(slider, 1);
        text->setMinimumWidth(QFontMetrics(text->font()).horizontalAdvance(QStringLiteral("100 %")) + 4);
        row->addWidget(text);
        form->addRow(label, row);
    };
    volumeRow(tr("Recording volume:"), m_capture, m_captureText);
    volumeRow(tr("Playback volume:"), m_playback, m_playbackText);
    form->addRow(m_message);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    const std::vector<MixerCard> cards = m_mixer.Cards();
    ConfigStore config;
    config.Load();
    const int stored = config.GetInt("AudioMixer");
    int chosen = 0;
    for (const MixerCard& c : cards) {
        if (c.index == stored) chosen = m_card->count();
        m_card->addItem(tr("%1 (card %2)").arg(QString::fromStdString(c.name)).arg(c.index), c.index);
    }
    connect(m_card, &QComboBox::currentIndexChanged, this, [this](int at) {
        if (!m_filling && at >= 0) OpenCard(m_card->itemData(at).toInt());
    });
    connect(m_source, &QComboBox::currentIndexChanged, this, [this](int at) {
        if (!m_filling) SetSource(at);
    });
    connect(m_capture, &QSlider::valueChanged, this, [this](int v) { SetVolume(true, v); });
    connect(m_playback, &QSlider::valueChanged, this, [this](int v) { SetVolume(false, v); });
    if (cards.empty()) {
        m_filling = true;
        m_card->addItem(tr("none"));
        m_source->addItem(tr("no card"));
        m_filling = false;
        m_captureText->setText(tr("none"));
        m_playbackText->setText(tr("none"));
        for (QWidget* w : std::initializer_list<QWidget*>{m_card, m_source, m_capture, m_playback}) w->setEnabled(false);
        Say(tr("No sound card was found, so there is no mixer to set."));
    } else {
        m_filling = true;
        m_card->setCurrentIndex(chosen);
        m_filling = false;
        OpenCard(cards[static_cast<size_t>(chosen)].index);
    }
    resize(480, sizeHint().height());
}

QString SoundSettingsDialog::Message() const {
    return m_message->isHidden() ? QString() : m_message->text();
}

void SoundSettingsDialog::Say(const QString& text) {
    m_message->setText(text);
    m_message->setVisible(!text.isEmpty());
}

void SoundSettingsDialog::OpenCard(int index) {
    m_filling = true;
    m_source->clear();
    std::string why;
    m_open = m_mixer.Open(index, &why) ? index : -1;
    if (m_open >= 0 && !m_before.count(index))
        m_before[index] = {m_mixer.CaptureSource(), m_mixer.CaptureVolume(), m_mixer.PlaybackVolume()};
    const std::vector<std::string> sources = m_open >= 0 ? m_mixer.CaptureSources() : std::vector<std::string>();
    for (const std::string& s : sources) m_source->addItem(QString::fromStdString(s));
    int source = m_open >= 0 ? m_mixer.CaptureSource() : -1;
    ConfigStore config;
    config.Load();
    // A card that cannot tell its source shows the one chosen last time.
    if (source < 0 && config.GetInt("AudioMixer") == index && config.GetInt("AudioSource") < m_source->count())
        source = config.GetInt("AudioSource");
    if (sources.empty()) m_source->addItem(tr("no choice on this card"));
    m_source->setCurrentIndex(sources.empty() ? 0 : source);
    m_source->setEnabled(!sources.empty());
    const std::pair<QSlider*, std::optional<int>> volumes[] = {
        {m_capture, m_open >= 0 ? m_mixer.CaptureVolume() : std::nullopt},
        {m_playback, m_open >= 0 ? m_mixer.PlaybackVolume() : std::nullopt}};
    for (const auto& [slider, percent] : volumes) {
        slider->setEnabled(percent.has_value());
        slider->setValue(percent.value_or(0));
        (slider == m_capture ? m_captureText : m_playbackText)
            ->setText(percent ? tr("%1 %").arg(*percent) : tr("none"));
    }
    m_filling = false;
    const QString card = m_card->currentText();
    if (m_open < 0) Say(tr("The mixer of %1 cannot be opened: %2").arg(card, QString::fromStdString(why)));
    else if (!m_mixer.HasControls()) Say(tr("%1 has no recording source or volume controls to set.").arg(card));
    else Say(QString());
}

void SoundSettingsDialog::SetSource(int source) {
    std::string why;
    if (m_open < 0 || source < 0 || m_mixer.CaptureSources().empty()) return;
    if (!m_mixer.SetCaptureSource(source, &why)) Say(tr("The input cannot be chosen: %1").arg(QString::fromStdString(why)));
}

void SoundSettingsDialog::SetVolume(bool capture, int percent) {
    (capture ? m_captureText : m_playbackText)->setText(tr("%1 %").arg(percent));
    if (m_filling || m_open < 0) return;
    std::string why;
    const bool set = capture ? m_mixer.SetCaptureVolume(percent, &why) : m_mixer.SetPlaybackVolume(percent, &why);
    if (!set) Say(tr("The volume cannot be set: %1").arg(QString::fromStdString(why)));
}

void SoundSettingsDialog::accept() {
    if (m_open < 0) {
        QDialog::accept();  // nothing to keep
        return;
    }
    ConfigStore config;
    config.Load();
    config.SetString("AudioMixer", std::to_string(m_open));
    const int source = m_source->isEnabled() ? m_source->currentIndex() : -1;
    if (source >= 0) {
        std::string why;
        if (m_mixer.CaptureSource() != source && !m_mixer.SetCaptureSource(source, &why)) {
            Say(tr("The input cannot be chosen: %1").arg(QString::fromStdString(why)));
            return;
        }
        config.SetString("AudioSource", std::to_string(source));
    }
    for (const char* key : {"AudioMixer", "AudioSource"}) {
        const std::string problem = ConfigValueProblem(key, config.GetString(key));
        if (!problem.empty()) {
            Say(QString::fromStdString(problem));
            return;
        }
    }
    std::string why;
    if (!config.Save(&why)) {
        Say(tr("Nothing was stored: %1").arg(QString::fromStdString(why)));
        return;
    }
    Trace(kTraceInfo, "Sound settings: card %d, recording source %d", m_open, source);
    QDialog::accept();
}

void SoundSettingsDialog::reject() {
    for (const auto& [index, state] : m_before) {
        if (!m_mixer.Open(index, nullptr)) continue;
        if (state.source >= 0 && m_mixer.CaptureSource() != state.source) m_mixer.SetCaptureSource(state.source, nullptr);
        if (state.capture) m_mixer.SetCaptureVolume(*state.capture, nullptr);
        if (state.playback) m_mixer.SetPlaybackVolume(*state.playback, nullptr);
    }
    m_open = -1;
    QDialog::reject();
}

bool RunSoundSettings(UserPrompt& prompt, QWidget* parent) {
    std::unique_ptr<AudioMixer> mixer = MakeAudioMixer();
    SoundSettingsDialog dialog(*mixer, parent);
    const bool accepted = QtUserPrompt::RunDialogWith(prompt, dialog);
    // A form a script left open, or one closed by the window manager, is
    // cancelled: the card is put back.
    if (!accepted) dialog.reject();
    if (parent) {
        parent->raise();
        parent->activateWindow();
    }
    return accepted;
}

}  // namespace wk::ui
