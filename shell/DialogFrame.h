#pragma once

// The frame every dialog of the program shares: a fixed client size, only a
// close box in the title bar, tool tips on, and centred on the screen when shown.

class QDialog;
class QWidget;

void SetupDialogFrame(QDialog* dialog, int clientWidth, int clientHeight);
// Places the window in the middle of its screen's free area.
void CentreOnScreen(QWidget* window);
