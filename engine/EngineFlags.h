#pragma once

// The main window's state flags. Everything runs on one thread; re-entry
// through event processing is answered by these flags, not by locks.
struct TEngineFlags {
    // A running check pass or download is asked to stop.
    bool AbortRequested = false;
    // Set by the pipeline after each delivery; read when the busy state ends.
    bool DeliveredWhileBusy = false;
    // A fetch is running; a second fetch cancels it and fails itself.
    bool DownloadBusy = false;
    // The desktop session is ending: closing asks nothing.
    bool ShuttingDown = false;
    // Chooses the 16-colour tray images.
    bool LowColourIcons = false;
};
