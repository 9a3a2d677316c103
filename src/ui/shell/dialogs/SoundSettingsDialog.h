#pragma once
// "Sound settings" (button 156): the mixer of the card the program records
// from: which card ("AudioMixer", the card number), which of its inputs it
// records ("AudioSource", the source's place in the card's list), the
// capture volume and the playback volume.
//
// The card follows the controls at once, as a mixer does; OK keeps what is
// set and stores the card and source in config.ini, Cancel puts every card
// touched back as it was and stores nothing. With no card, or a card
// without such controls, the dialog says so and the controls are off.
//
// Threading: GUI thread.

#include <QDialog>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QSlider;

namespace wk {
class AudioMixer;
class UserPrompt;
}  // namespace wk

namespace wk::ui {

class SoundSettingsDialog final : public QDialog {
    Q_OBJECT
public:
    explicit SoundSettingsDialog(AudioMixer& mixer, QWidget* parent = nullptr);

    // What the dialog says about the card (no card, no controls, a failed
    // change), "" when all is well.
    QString Message() const;

    void accept() override;
    void reject() override;

private:
    struct CardState {
        int source = -1;
        std::optional<int> capture;
        std::optional<int> playback;
    };

    void OpenCard(int index);
    void Say(const QString& text);
    void SetSource(int source);
    void SetVolume(bool capture, int percent);

    AudioMixer& m_mixer;
    QComboBox* m_card;
    QComboBox* m_source;
    QSlider* m_capture;
    QSlider* m_playback;
    QLabel* m_captureText;
    QLabel* m_playbackText;
    QLabel* m_message;
    int m_open = -1;
    bool m_filling = false;
    std::map<int, CardState> m_before;  // each card touched, as it was
};

// The mixer the dialog drives: alsa-lib's unless a test set another
// (nullptr restores alsa-lib's).
using AudioMixerFactory = std::function<std::unique_ptr<AudioMixer>()>;
void SetAudioMixerFactory(AudioMixerFactory factory);
std::unique_ptr<AudioMixer> MakeAudioMixer();

// The dialog, modal, through the prompt; afterwards the parent window comes
// to the front again. True when it was accepted.
bool RunSoundSettings(UserPrompt& prompt, QWidget* parent);

}  // namespace wk::ui
