#pragma once
// The MP3 engine of the player: libmpg123 fed with a chunk's bytes as they
// come (its feed interface), decoding to 44100 Hz 16-bit stereo straight into
// a playback device. Created on the main thread by Player::Play, used and
// destroyed on the player thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct mpg123_handle_struct mpg123_handle;

namespace wk {

class PlaybackDevice;

class Mp3Engine {
public:
    static constexpr int kVolume = 50;
    // The two texts the user sees when the engine cannot start.
    static constexpr const char* kDecoderFailureText = "MP3 Engine failed to start!";
    static constexpr const char* kOutputFailureText =
        "MP3 Engine konnte nicht gestartet werden! Stelle sicher dass die Audio-Karte nicht von "
        "einem anderen Programm verwendet wird und probiere es dann erneut.";

    enum class Failure { kNone, kDecoder, kOutput };

    explicit Mp3Engine(PlaybackDevice& device);
    // Closes the device: what it still holds is dropped.
    ~Mp3Engine();
    Mp3Engine(const Mp3Engine&) = delete;
    Mp3Engine& operator=(const Mp3Engine&) = delete;

    // Opens the decoder with a memory input, then the device, and sets the
    // volume. On failure the reason goes to `why` and the engine is unusable.
    Failure Start(std::string* why);

    // Takes bytes of the MP3 stream; the number taken, negative on error.
    int Write(const uint8_t* bytes, size_t count);
    // Decodes what the decoder holds and plays it. False when the device
    // ended or stopped taking audio.
    bool Service();
    // Forgets a frame cut short: the next bytes start a new stream.
    bool Restart();

    PlaybackDevice& Device() { return m_device; }

private:
    PlaybackDevice& m_device;
    mpg123_handle* m_handle = nullptr;
    std::vector<unsigned char> m_pcm;
};

}  // namespace wk
