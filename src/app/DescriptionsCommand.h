#pragma once
// "wavkeep import", "wavkeep descriptions" and "wavkeep shift": description
// files moved onto the recording, listed, and moved by hand.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

struct ImportOptions {
    std::string file;
    double difference = 0;  // seconds, server clock minus local clock
    bool differenceGiven = false;
    bool trust = false;
    std::string stream;
};

int RunImport(const ImportOptions& options, std::ostream& out, std::ostream& err);
int RunDescriptions(const std::string& stream, std::ostream& out, std::ostream& err);
int RunShift(double seconds, int index, const std::string& stream, std::ostream& out,
             std::ostream& err);

void AddDescriptionsCommands(CliCommandTable& table);

}  // namespace wk
