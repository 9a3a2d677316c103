#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "core/CTError.h"
#include "core/Event.h"
#include "recording/RecordingQueue.h"
#include "recording/WaveRecorder.h"
#include "support/ErrorCode.h"

namespace wk {
namespace {

using test::CodeOf;

// A device the test drives by hand: it fills the oldest queued buffer when told.
class HandDevice final : public CaptureDevice {
public:
    std::string Name() const override { return "hand"; }
    bool SupportsFormat(int rate, int channels, std::string* why) override {
        if (rate == rejectRate) {
            *why = "rate refused";
            return false;
        }
        (void)channels;
        return true;
    }
    bool Open(int, int, Event* done, std::string*) override {
        m_done = done;
        return true;
    }
    bool AddBuffer(CaptureBuffer* b, std::string*) override {
        queued.push_back(b);
        added.push_back(b);
        return true;
    }
    bool Start(std::string*) override { return true; }
    void Reset() override {
        for (auto* b : queued) b->done = true;
        queued.clear();
    }
    void Close() override {}
    bool HasEnded() const override { return false; }
    std::string EndReason() const override { return {}; }

    void Complete(uint8_t fill) {
        CaptureBuffer* b = queued.front();
        queued.pop_front();
        std::fill(b->data, b->data + b->size, fill);
        b->recorded = b->size;
        b->done = true;
        m_done->Set();
    }
    std::deque<CaptureBuffer*> queued;
    std::vector<CaptureBuffer*> added;
    int rejectRate = 0;

private:
    Event* m_done = nullptr;
};

TEST(WaveRecorderTest, RingKeepsCountMinusOneQueuedAndTheLastCompletedUntouched) {
    constexpr int kCount = 8;
    constexpr size_t kSize = 16;
    std::vector<uint8_t> block(kCount * kSize);
    auto device = std::make_unique<HandDevice>();
    HandDevice* hand = device.get();
    WaveRecorder recorder;
    recorder.SetDevice(std::move(device));
    Event done;
    recorder.Open(&done);
    recorder.Start(kCount, block.data(), kSize);
    ASSERT_EQ(hand->queued.size(), size_t{kCount - 1});
    EXPECT_FALSE(recorder.IsBufferDone());

    auto bufferIndex = [&](const CaptureBuffer* b) {
        return int((b->data - block.data()) / kSize);
    };
    // Completion of buffer 0 re-queues the last buffer; of buffer 5, buffer 4.
    const std::vector<int> requeued = {kCount - 1, 0, 1, 2, 3, 4, 5, 6, 7, 0};
    for (size_t i = 0; i < requeued.size(); ++i) {
        hand->Complete(static_cast<uint8_t>(i + 1));
        ASSERT_TRUE(recorder.IsBufferDone());
        EXPECT_EQ(recorder.GetBufferData()[0], i + 1);
        EXPECT_EQ(recorder.GetBufferRecorded(), kSize);
        recorder.Requeue();
        EXPECT_EQ(bufferIndex(hand->added.back()), requeued[i]) << "completion " << i;
        EXPECT_EQ(hand->queued.size(), size_t{kCount - 1});
    }
    recorder.Stop();
    recorder.Close();
    EXPECT_EQ(recorder.State(), 1);
}

TEST(WaveRecorderTest, OneBufferDeliversNothing) {
    std::vector<uint8_t> block(32);
    auto device = std::make_unique<HandDevice>();
    HandDevice* hand = device.get();
    WaveRecorder recorder;
    recorder.SetDevice(std::move(device));
    Event done;
    recorder.Open(&done);
    recorder.Start(1, block.data(), 32);
    EXPECT_TRUE(hand->queued.empty());
    EXPECT_FALSE(recorder.IsBufferDone());
}

TEST(WaveRecorderTest, PreconditionsAndFormats) {
    WaveRecorder recorder;
    auto device = std::make_unique<HandDevice>();
    device->rejectRate = 22050;
    recorder.SetDevice(std::move(device));
    EXPECT_EQ(CodeOf([&] { recorder.SetSampleRate(48000); }), kErrRecorderSampleRateInvalid);
    EXPECT_EQ(recorder.GetSampleRate(), 44100);
    EXPECT_EQ(CodeOf([&] { recorder.SetChannels(3); }), kErrRecorderChannelsInvalid);
    EXPECT_EQ(CodeOf([&] { recorder.IsBufferDone(); }), kErrRecorderNotStarted);
    EXPECT_EQ(CodeOf([&] { recorder.Requeue(); }), kErrRecorderNotStarted);
    EXPECT_EQ(CodeOf([&] { recorder.Stop(); }), kErrRecorderNotStarted);
    EXPECT_EQ(CodeOf([&] { recorder.Close(); }), kErrRecorderNotIdle);
    uint8_t block[64];
    EXPECT_EQ(CodeOf([&] { recorder.Start(2, block, 32); }), kErrRecorderNotIdle);
    Event done;
    recorder.SetSampleRate(22050);
    EXPECT_EQ(CodeOf([&] { recorder.Open(&done); }), kErrRecorderWaveFormat);
    EXPECT_EQ(recorder.State(), 1);
    recorder.SetSampleRate(44100);
    recorder.Open(&done);
    EXPECT_EQ(CodeOf([&] { recorder.Open(&done); }), kErrRecorderNotIdle);
    EXPECT_EQ(CodeOf([&] { recorder.SetChannels(1); }), kErrRecorderNotIdle);
}

TEST(RecordingQueueTest, FifoAcrossWrapAndGrowth) {
    RecordingQueue q(10);
    std::vector<uint8_t> out(32);
    const uint8_t a[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_TRUE(q.Write(a, 7));
    EXPECT_EQ(q.Read(out.data(), 5), 5u);  // head moves to 5
    EXPECT_TRUE(q.Write(a, 7));            // wraps
    EXPECT_EQ(q.Available(), 9u);
    EXPECT_FALSE(q.Resize(8));    // smaller than the fill
    EXPECT_FALSE(q.Write(a, 3));  // only one byte fits
    EXPECT_EQ(q.Available(), 10u);
    EXPECT_TRUE(q.Resize(20));
    EXPECT_TRUE(q.Write(a, 3));
    EXPECT_EQ(q.Read(out.data(), 32), 13u);
    const std::vector<uint8_t> expected = {6, 7, 1, 2, 3, 4, 5, 6, 7, 1, 1, 2, 3};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 13), expected);
    EXPECT_EQ(q.Free(), 20u);
}

}  // namespace
}  // namespace wk
