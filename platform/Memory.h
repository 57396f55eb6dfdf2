#pragma once

// A check pass handles its pages whole, a few hundred kilobytes at a time:
// the download, its stored copy, the rewritten page and the message. Left to
// its defaults the C library gives each of them back to the system when it
// is freed and takes it back, page fault by page fault, for the next site;
// on a virtual machine that churn costs more than the check itself. So the
// memory a pass frees is kept for the next site and given back when the pass
// ends.

// Once, at program start, before the first pass.
void KeepFreedMemoryDuringPasses();

// At the end of a pass: what the pass freed goes back to the system, so a
// program that waits in the tray for hours holds no more than it needs.
void ReturnFreedMemory();
