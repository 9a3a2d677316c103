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
    // The decoder keeps up to a frame of what it was fed, which the player's
    // reckoning does not see. The output starts once more than the first
    // block is decoded, half a block later than the player reckons, so the
    // sound never runs dry when the player is half a block ahead.
    static constexpr int kStartCushionMs = 120;
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

    // Whether nothing was fed since Start or Restart.
    bool IsFresh() const { return !m_fed; }
    // Feeds bytes that lie before the place playing starts, so that the
    // first frames played find the bits they borrow from the frames before
    // them. Frames that begin in them, or in the `skip` bytes fed after
    // them, are decoded but not played.
    void Prime(const uint8_t* bytes, size_t count, int64_t skip);

    // Takes bytes of the MP3 stream; the number taken, negative on error.
    int Write(const uint8_t* bytes, size_t count);
    enum class Status { kOk, kBadData, kOutputFailed };
    // Decodes what the decoder holds and plays it. kBadData when the bytes
    // are no MP3 stream (the decoder then starts afresh with the next
    // bytes); kOutputFailed when the device ended or stopped taking audio.
    Status Service();
    // Forgets a frame cut short: the next bytes start a new stream, and the
    // output waits for its cushion again.
    bool Restart();
    // Plays what the engine holds back at the start (see kStartCushionMs).
    bool Flush();

    PlaybackDevice& Device() { return m_device; }
    // Frames decoded since Start.
    int64_t DecodedFrames() const { return m_decodedFrames; }

private:
    PlaybackDevice& m_device;
    mpg123_handle* m_handle = nullptr;
    bool WriteToDevice(const int16_t* samples, int64_t frames);

    int64_t m_streamBytes = 0;  // fed since the decoder's stream began
    int64_t m_playFrom = 0;     // frames beginning before this byte are not played
    bool m_outputStarted = false;
    bool m_fed = false;
    int64_t m_decodedFrames = 0;
    std::vector<int16_t> m_held;  // decoded before the output started
};

}  // namespace wk
