#include "platform/TunerV4l2.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "core/Trace.h"

namespace wk {
namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

// The device nodes "<prefix><number>" in `dir`, by number.
std::vector<std::string> Nodes(const std::string& dir, const std::string& prefix) {
    std::vector<std::pair<unsigned long, std::string>> found;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        found.emplace_back(std::stoul(digits), it->path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

bool IsCharacterDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

TunerV4l2::TunerV4l2(std::string deviceDir) : m_deviceDir(std::move(deviceDir)) {}

TunerV4l2::~TunerV4l2() {
    CloseNodes();
}

uint32_t TunerV4l2::DeviceFrequency(int channel, bool radio, uint32_t tunerCaps) {
    // Everything in units of 1/2 of 62.5 Hz keeps the arithmetic exact.
    const int64_t halfSteps = static_cast<int64_t>(channel) * (radio ? 2 : 2000);
    int64_t value;
    if (tunerCaps & V4L2_TUNER_CAP_1HZ) value = (halfSteps * 125 + 2) / 4;
    else if (tunerCaps & V4L2_TUNER_CAP_LOW) value = (halfSteps + 1) / 2;
    else value = (halfSteps + 1000) / 2000;
    return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX));
}

int TunerV4l2::OpenNode(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Trace(kTraceError, "Tuner: cannot open %s: %s", path.c_str(), std::strerror(errno));
    return fd;
}

void TunerV4l2::CloseNodes() {
    for (int* fd : {&m_videoFd, &m_radioFd}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool TunerV4l2::OpenDevice(int countryCode, bool antennaInput) {
    CloseNodes();
    m_open = false;
    m_videoPath.clear();
    m_radioPath.clear();
    m_videoTuner = 0;
    m_antennaInput = antennaInput;

    for (const std::string& path : Nodes(m_deviceDir, "video")) {
        if (!IsCharacterDevice(path)) continue;
        const int fd = OpenNode(path);
        if (fd < 0) continue;
        v4l2_capability cap{};
        if (Ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) {
            Trace(kTraceError, "Tuner: VIDIOC_QUERYCAP on %s failed: %s", path.c_str(), std::strerror(errno));
            ::close(fd);
            continue;
        }
        const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (!(caps & V4L2_CAP_TUNER)) {
            ::close(fd);
            continue;
        }
        m_videoPath = path;
        m_videoFd = fd;
        break;
    }
    for (const std::string& path : Nodes(m_deviceDir, "radio")) {
        if (!IsCharacterDevice(path)) continue;
        m_radioPath = path;
        break;
    }
    m_open = !m_videoPath.empty() || !m_radioPath.empty();
    if (!m_open) {
        Trace(kTraceError, "Tuner: no V4L2 tuner found in %s", m_deviceDir.c_str());
        return false;
    }
    Trace(kTraceInfo, "Tuner: TV \"%s\", radio \"%s\", country %d, %s input", m_videoPath.c_str(),
          m_radioPath.c_str(), countryCode, antennaInput ? "antenna" : "cable");
    if (m_videoFd >= 0) SelectTunerInput(m_videoFd);
    return true;
}

int TunerV4l2::UseNode(bool radio) {
    int& mine = radio ? m_radioFd : m_videoFd;
    int& other = radio ? m_videoFd : m_radioFd;
    if (mine >= 0) return mine;
    const std::string& path = radio ? m_radioPath : m_videoPath;
    if (path.empty()) {
        Trace(kTraceError, "Tuner: the card has no %s tuner", radio ? "radio" : "TV");
        return -1;
    }
    if (other >= 0) {
        SetMute(other, true);
        ::close(other);
        other = -1;
    }
    mine = OpenNode(path);
    if (mine >= 0 && !radio) SelectTunerInput(mine);
    return mine;
}

void TunerV4l2::SelectTunerInput(int fd) {
    for (uint32_t index = 0; index < 64; ++index) {
        v4l2_input input{};
        input.index = index;
        if (Ioctl(fd, VIDIOC_ENUMINPUT, &input) < 0) break;
        if (input.type != V4L2_INPUT_TYPE_TUNER) continue;
        int chosen = static_cast<int>(index);
        if (Ioctl(fd, VIDIOC_S_INPUT, &chosen) < 0) {
            Trace(kTraceError, "Tuner: VIDIOC_S_INPUT %d failed: %s", chosen, std::strerror(errno));
            return;
        }
        m_videoTuner = input.tuner;
        Trace(kTraceDebug, "Tuner: input %d \"%s\" selected for the %s", chosen,
              reinterpret_cast<const char*>(input.name), m_antennaInput ? "antenna" : "cable");
        return;
    }
    Trace(kTraceError, "Tuner: the video device has no tuner input");
}

void TunerV4l2::SetMute(int fd, bool mute) {
    v4l2_queryctrl query{};
    query.id = V4L2_CID_AUDIO_MUTE;
    if (Ioctl(fd, VIDIOC_QUERYCTRL, &query) < 0 || (query.flags & V4L2_CTRL_FLAG_DISABLED)) {
        Trace(kTraceDebug, "Tuner: the device has no mute control");
        return;
    }
    v4l2_control control{};
    control.id = V4L2_CID_AUDIO_MUTE;
    control.value = mute ? 1 : 0;
    if (Ioctl(fd, VIDIOC_S_CTRL, &control) < 0)
        Trace(kTraceError, "Tuner: cannot %s: %s", mute ? "mute" : "unmute", std::strerror(errno));
}

bool TunerV4l2::Tune(int fd, int channel, bool radio) {
    v4l2_tuner tuner{};
    tuner.index = radio ? 0 : m_videoTuner;
    if (Ioctl(fd, VIDIOC_G_TUNER, &tuner) < 0) {
        Trace(kTraceError, "Tuner: VIDIOC_G_TUNER failed: %s", std::strerror(errno));
        return false;
    }
    v4l2_frequency frequency{};
    frequency.tuner = tuner.index;
    frequency.type = tuner.type;
    frequency.frequency = DeviceFrequency(channel, radio, tuner.capability);
    if (frequency.frequency < tuner.rangelow || frequency.frequency > tuner.rangehigh)
        Trace(kTraceError, "Tuner: channel %d (%u) lies outside the tuner's range %u..%u", channel,
              frequency.frequency, tuner.rangelow, tuner.rangehigh);
    if (Ioctl(fd, VIDIOC_S_FREQUENCY, &frequency) < 0) {
        Trace(kTraceError, "Tuner: VIDIOC_S_FREQUENCY %u failed: %s", frequency.frequency, std::strerror(errno));
        return false;
    }
    return true;
}

bool TunerV4l2::RunTunedGraph(int channel, bool radio) {
    if (!m_open) {
        Trace(kTraceError, "Tuner: RunTunedGraph without an opened device");
        return false;
    }
    const int fd = UseNode(radio);
    if (fd < 0 || !Tune(fd, channel, radio)) return false;
    SetMute(fd, false);
    return true;
}

void TunerV4l2::SelectInput(bool antennaInput) {
    m_antennaInput = antennaInput;
    if (m_videoFd >= 0) SelectTunerInput(m_videoFd);
}

void TunerV4l2::SelectModeAndChannel(int channel, bool radio) {
    Trace(kTraceDetail, "Tuner channel = %d", channel);
    const int fd = radio ? m_radioFd : m_videoFd;
    if (fd >= 0) Tune(fd, channel, radio);
}

void TunerV4l2::StopGraph() {
    for (int fd : {m_videoFd, m_radioFd})
        if (fd >= 0) SetMute(fd, true);
    CloseNodes();
}

}  // namespace wk
