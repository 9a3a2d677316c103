#include "app/StreamChoice.h"

#include "core/ConfigStore.h"
#include "streamstore/StreamNameFile.h"

namespace wk {

std::optional<StreamChoice> ChooseStream(const std::string& option, std::ostream& err, int* status) {
    std::string name = option;
    if (name.empty()) {
        ConfigStore config;
        config.Load();
        name = config.GetString("ActiveStream");
    }
    if (!StreamNameFile::IsSafeFolderName(name)) {
        err << "wavkeep: \"" << name << "\" cannot name a stream folder\n";
        if (status) *status = 2;
        return std::nullopt;
    }
    StreamNameFile streams;
    streams.load();
    for (const auto& r : streams.Records())
        if (r->name == name) return StreamChoice{name, StreamNameFile::StreamRoot() + name};
    {
        const StreamRecord* other = streams.Find(name);  // the case differs
        err << "wavkeep: no stream " << name;
        if (other) err << " (the list has \"" << other->name << "\")";
        err << "; \"wavkeep streams\" lists them\n";
        if (status) *status = 1;
        return std::nullopt;
    }
}

}  // namespace wk
