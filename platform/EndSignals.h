#pragma once

// The requests to end that reach a program from outside its window: SIGTERM
// (the session ending, `kill`) and SIGINT (Ctrl+C in a terminal). Left to
// their default the process dies where it stands and leaves its named objects
// in /dev/shm; caught here, each becomes a byte on a pipe that the program's
// event loop reads, so the program ends the ordinary way.

class TEndSignals {
public:
    // Catches both signals for as long as the object lives.
    TEndSignals();
    // Gives both signals their default action back.
    ~TEndSignals();
    TEndSignals(const TEndSignals&) = delete;
    TEndSignals& operator=(const TEndSignals&) = delete;

    // Readable once a signal has arrived; -1 when the pipe could not be made
    // (the signals then keep their default action).
    int Handle() const;
    // Empties the pipe; the number of the last signal read, or 0.
    int Take();
};
