#include "recording/WaveRecorder.h"

#include "core/CTError.h"
#include "core/Trace.h"

namespace wk {

WaveRecorder::WaveRecorder() = default;

WaveRecorder::~WaveRecorder() {
    try {
        if (m_state == 3) Stop();
        if (m_state == 2) Close();
    } catch (const CTError& e) {
        Trace(kTraceError, "Wave recorder shut down with error %d", e.GetCode());
    }
}

void WaveRecorder::Require(bool condition, int code) const {
    if (!condition) throw CTErrorRecorder(code);
}

void WaveRecorder::SetDevice(std::unique_ptr<CaptureDevice> device) {
    Require(m_state == 1, kErrRecorderNotIdle);
    m_device = std::move(device);
}

void WaveRecorder::SetSampleRate(int rate) {
    Require(m_state == 1, kErrRecorderNotIdle);
    Require(rate == 8000 || rate == 11025 || rate == 22050 || rate == 44100,
            kErrRecorderSampleRateInvalid);
    m_rate = rate;
}

void WaveRecorder::SetChannels(int channels) {
    Require(m_state == 1, kErrRecorderNotIdle);
    Require(channels == 1 || channels == 2, kErrRecorderChannelsInvalid);
    m_channels = channels;
}

void WaveRecorder::Open(Event* bufferDone) {
    Require(m_state == 1, kErrRecorderNotIdle);
    std::string why;
    if (!m_device) {
        m_device = CreateCaptureDevice("alsa", &why);
        if (!m_device) {
            Trace(kTraceError, "No capture device: %s", why.c_str());
            throw CTErrorRecorder(kErrRecorderWaveOpen);
        }
    }
    if (!m_device->SupportsFormat(m_rate, m_channels, &why)) {
        Trace(kTraceError, "%s refuses %d Hz, %d channels, 16 bit: %s", m_device->Name().c_str(),
              m_rate, m_channels, why.c_str());
        throw CTErrorRecorder(kErrRecorderWaveFormat);
    }
    if (!m_device->Open(m_rate, m_channels, bufferDone, &why)) {
        Trace(kTraceError, "Cannot open %s: %s", m_device->Name().c_str(), why.c_str());
        throw CTErrorRecorder(kErrRecorderWaveOpen);
    }
    m_state = 2;
}

void WaveRecorder::Start(int count, uint8_t* dataBlock, size_t bufferSize) {
    // As the recorder has always said: starting anything but an opened device
    // is reported as "not idle".
    Require(m_state == 2, kErrRecorderNotIdle);
    m_count = count > 0 ? count : 0;
    m_block = dataBlock;
    m_bufferSize = bufferSize;
    m_current = 0;
    m_buffers = std::make_unique<CaptureBuffer[]>(static_cast<size_t>(m_count));
    std::string why;
    for (int i = 0; i + 1 < m_count; ++i) {
        CaptureBuffer& b = m_buffers[static_cast<size_t>(i)];
        b.data = m_block + static_cast<size_t>(i) * m_bufferSize;
        b.size = m_bufferSize;
        if (!m_device->AddBuffer(&b, &why)) {
            Trace(kTraceError, "Cannot queue capture buffer %d: %s", i, why.c_str());
            m_device->Reset();
            m_buffers.reset();
            throw CTErrorRecorder(kErrRecorderWaveAdd);
        }
    }
    if (m_count > 0) {
        CaptureBuffer& last = m_buffers[static_cast<size_t>(m_count - 1)];
        last.data = m_block + static_cast<size_t>(m_count - 1) * m_bufferSize;
        last.size = m_bufferSize;
    }
    if (!m_device->Start(&why)) {
        Trace(kTraceError, "Cannot start %s: %s", m_device->Name().c_str(), why.c_str());
        m_device->Reset();
        m_buffers.reset();
        throw CTErrorRecorder(kErrRecorderWaveStart);
    }
    m_state = 3;
}

bool WaveRecorder::IsBufferDone() const {
    Require(m_state == 3, kErrRecorderNotStarted);
    return m_count > 1 && m_buffers[static_cast<size_t>(m_current)].done.load();
}

const uint8_t* WaveRecorder::GetBufferData() const {
    Require(m_state == 3, kErrRecorderNotStarted);
    return m_count > 0 ? m_buffers[static_cast<size_t>(m_current)].data : nullptr;
}

size_t WaveRecorder::GetBufferRecorded() const {
    Require(m_state == 3, kErrRecorderNotStarted);
    return m_count > 0 ? m_buffers[static_cast<size_t>(m_current)].recorded : 0;
}

void WaveRecorder::Requeue() {
    Require(m_state == 3, kErrRecorderNotStarted);
    if (m_count < 2) return;
    const int previous = m_current == 0 ? m_count - 1 : m_current - 1;
    m_current = (m_current + 1) % m_count;
    CaptureBuffer& b = m_buffers[static_cast<size_t>(previous)];
    b.recorded = 0;
    b.done = false;
    std::string why;
    if (!m_device->AddBuffer(&b, &why)) {
        Trace(kTraceError, "Cannot queue capture buffer %d: %s", previous, why.c_str());
        throw CTErrorRecorder(kErrRecorderWaveAdd);
    }
}

void WaveRecorder::Stop() {
    Require(m_state == 3, kErrRecorderNotStarted);
    m_device->Reset();
    m_buffers.reset();
    m_count = 0;
    m_state = 2;
}

void WaveRecorder::Close() {
    Require(m_state == 2, kErrRecorderNotIdle);
    m_device->Close();
    m_state = 1;
}

bool WaveRecorder::DeviceEnded() const {
    return m_device && m_device->HasEnded();
}

std::string WaveRecorder::DeviceEndReason() const {
    return m_device ? m_device->EndReason() : std::string();
}

}  // namespace wk
