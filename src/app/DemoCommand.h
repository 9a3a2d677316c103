#pragma once
// "wavkeep demo": the whole chain on a machine without a sound card or a
// service. In a fresh temporary home (or --home): records N minutes of the
// generator's broadcast through the real recording path as fast as the
// machine encodes, seeds and starts wavkeep-service on a free loopback port
// with its clock off by some seconds, runs the playlist download (time check,
// request, timeshift, fingerprint matching, merge, export with
// normalisation) and prints the songs made, checked against the generator's
// own track list.

#include <iosfwd>
#include <string>

namespace wk {

class CliCommandTable;

struct DemoOptions {
    int minutes = 12;
    unsigned seed = 1;
    double clockOffset = 42.25;  // seconds the service's clock runs ahead
    long long playlistErrorMs = 1500;  // how far the served playlist is off
    // The home was made for this run (no --home): a run that fails before
    // it has songs to show removes it again.
    bool temporaryHome = false;
    // The same broadcast recorded by a second, worse receiver, the first
    // station's playlist matched onto it (SecondStationDemo.cpp).
    bool secondStation = false;
    // With secondStation: three shorter songs (one of each join) instead of five.
    bool shortForm = false;
};

// Why the options cannot make a demo, "" when they can; checked before
// anything is created.
std::string DemoOptionsProblem(const DemoOptions& options);

// A new temporary folder for a demo's program home ("" when none can be made).
std::string MakeDemoHome();

int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);
int RunSecondStationDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

void AddDemoCommand(CliCommandTable& table);

}  // namespace wk
