// Process entry of the agent: start-up, the tray loop and shutdown.
#pragma once

#include <atomic>
#include <string>

// Runs the agent; returns the process exit code (always 0).
int service_main();

// The link is wanted: reconnect runs and the watchdog act only while this is true.
extern std::atomic<bool> should_reconnect;

// Starts a detached connection thread that runs one connection to the server WebSocket URL.
void connection_start();

// The WebSocket URL every connection attempt uses (derived from the server base URL in force).
std::string server_ws_url();
