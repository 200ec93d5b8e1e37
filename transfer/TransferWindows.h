#pragma once

class QDialog;

// Lets accepted file connections open the real File Request window; the main window calls it
// once.
void RegisterFileWindows();

// Every file transfer window is a top-level window of its own with a minimise and a close box.
void ApplyTransferWindowFrame(QDialog* window);
