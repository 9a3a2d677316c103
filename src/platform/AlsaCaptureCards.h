#pragma once
// The sound cards ALSA knows that can capture, by number and name, for a
// user to choose the one to record from (machine setting
// "nLastSelectedMixer": below 1 the "default" PCM, else "plughw:N").

#include <string>
#include <vector>

namespace wk {

struct CaptureCard {
    int number = 0;     // the ALSA card number
    std::string id;     // the card's short id ("PCH")
    std::string name;   // its name as the system shows it ("HDA Intel PCH")
};

// Cards with at least one capture device, in card order; empty when there
// are none or ALSA cannot be asked.
std::vector<CaptureCard> ListCaptureCards();

// The capture input ("alsa:PCM") of a stored card number, as the recorder
// opens it.
std::string CaptureInputOfCard(int number);

}  // namespace wk
