#pragma once

// The frame every dialog of the program shares: a fixed client size, only a
// close box in the title bar, tool tips on, and centred on the screen when shown.

#include <initializer_list>

class QDialog;
class QHBoxLayout;
class QIcon;
class QPushButton;
class QWidget;

void SetupDialogFrame(QDialog* dialog, int clientWidth, int clientHeight);
// Places the window in the middle of its screen's free area.
void CentreOnScreen(QWidget* window);

// Tab moves through the widgets in this order.
void SetTabChain(std::initializer_list<QWidget*> widgets);

// The OK and Cancel buttons at a dialog's foot, right-aligned in their row:
// OK is the default, Cancel rejects the dialog. The caller connects OK and
// adds the row to its layout.
struct TOKCancelButtons {
    QPushButton* OK;
    QPushButton* Cancel;
    QHBoxLayout* Row;
};
TOKCancelButtons MakeOKCancelButtons(QDialog* dialog, const QIcon& okImage, const QIcon& cancelImage);
