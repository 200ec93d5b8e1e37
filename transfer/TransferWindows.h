#pragma once

// Lets accepted file connections open the real File Request window; the main window calls it
// once.
void RegisterFileWindows();
