#pragma once
// The stream a command works on: the one its "--stream" option names, else
// config "ActiveStream".

#include <optional>
#include <ostream>
#include <string>

namespace wk {

struct StreamChoice {
    std::string name;    // as the stream list spells it
    std::string folder;  // stream root + name, no trailing '/'
};

// The stream `option` names (the active stream when empty), which must be in
// the stream list with exactly that name. Otherwise says why on `err`
// ("no stream NAME", with the listed spelling when only the case differs)
// and sets `*status` to the exit status: 2 for a name that cannot be a
// folder, 1 for a stream that is not in the list.
std::optional<StreamChoice> ChooseStream(const std::string& option, std::ostream& err, int* status);

}  // namespace wk
