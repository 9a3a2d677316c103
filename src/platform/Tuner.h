#pragma once
// The TV card's tuner: opened once, then tuned to a channel whose sound the
// card plays while the tuned "graph" runs. TunerV4l2 drives a V4L2 device
// (/dev/video* for TV, /dev/radio* for radio); TunerFake is a scripted
// stand-in for tests.
//
// A channel is a frequency in V4L2's numbering, device independent:
//   TV: units of 62.5 kHz (what V4L2 tuners without V4L2_TUNER_CAP_LOW take),
//       e.g. 543.25 MHz -> 8692;
//   radio: units of 62.5 Hz (what V4L2 radio tuners with V4L2_TUNER_CAP_LOW
//       take), e.g. 100.1 MHz -> 1601600.
// TunerV4l2 converts to the unit the device reports. A stream's "tuner
// channel" holds this number.
//
// Used by the recording controller's thread only.

namespace wk {

class Tuner {
public:
    virtual ~Tuner() = default;
    // Finds the device. `countryCode` is the telephone country code of the
    // configuration; `antennaInput` picks the antenna rather than the cable
    // input. False when there is no usable tuner.
    virtual bool OpenDevice(int countryCode, bool antennaInput) = 0;
    // True after a successful OpenDevice (StopGraph does not undo it).
    virtual bool IsOpen() const = 0;
    // Tunes `channel` and plays its sound until StopGraph. True when the
    // device took the frequency.
    virtual bool RunTunedGraph(int channel, bool radio) = 0;
    // Best effort; failures are only traced.
    virtual void SelectInput(bool antennaInput) = 0;
    // Sets the mode and channel of the running graph again; writes
    // "Tuner channel = %d" at trace level 40. Best effort.
    virtual void SelectModeAndChannel(int channel, bool radio) = 0;
    // Silences the tuner and releases the device until the next run.
    virtual void StopGraph() = 0;
};

// The process-wide tuner: a TunerV4l2 on /dev unless a test installed
// another. The tuner passed must outlive its use.
Tuner& GetTuner();
void SetTuner(Tuner* tuner);  // nullptr restores the default

}  // namespace wk
