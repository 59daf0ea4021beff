// The configuration file serverConfigs.ini beside the game's executable:
// section "Lumaro_COM", key "ConfigInfo", value "host port [verbose]".
#pragma once

struct ClientEngine;

// Takes the address (unless `init` gave one) and the trace switch from the
// file into the engine. 0 after every completed run, -9 when an exception
// stopped it. Runs at the engine's creation and, through
// ClientEngine::pfnReadConfigFile, on the session's threads.
int ReadConfigFile(ClientEngine& engine);
