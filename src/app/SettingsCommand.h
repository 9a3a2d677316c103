#pragma once
// "wavkeep config", "events", "encoder" and "account": the settings in
// config.ini, the event log, the encoder libraries and engines, and the
// service account in Options.txt.

namespace wk {

class CliCommandTable;

void AddConfigCommands(CliCommandTable& table);
void AddEventsCommands(CliCommandTable& table);
void AddEncoderCommands(CliCommandTable& table);
void AddAccountCommands(CliCommandTable& table);

}  // namespace wk
