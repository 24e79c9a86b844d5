// Values typed into the window's edit field: what each target's field first
// shows, and on Enter the literal parsed for the target's type and posted to
// the probe thread as a write.
#pragma once

// Installs the edit hooks of the user interface.
void value_edit_install();
