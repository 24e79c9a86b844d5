// What the setup panel's buttons ask the main loop to do: file dialogs for
// the five paths (run without blocking the loop) and saving the settings.
#pragma once

// Takes the panel's button clicks; called on a frame that is drawn.
void setup_take_clicks();
// Collects a finished dialog's path. True when a setting changed.
bool setup_poll_dialog();
void setup_actions_shutdown();
