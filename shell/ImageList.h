#pragma once

// The program's own pictures: the shared image list of the buttons, the
// dialogs and the tray menu, and the six tray images. Every picture is drawn
// here, at each size a panel or a screen may ask for, so it stays sharp.

#include "engine/WindowHost.h"

#include <QIcon>
#include <QPixmap>
#include <vector>

class TImageList {
public:
    // Indices of the shared image list.
    enum : int {
        CheckNow = 0,
        Settings = 1,
        About = 4,
        Exit = 5,
        OK = 6,
        Cancel = 7,
        AddSite = 8,
        WebSite = 9,
        EditSite = 10,
        View = 12,
        Delete = 13,
        Paste = 14,
        MoveUp = 15,
        MoveDown = 16,
        SendSite = 17,
        Help = 19,
        Count = 20
    };

    TImageList();
    // An empty icon for an index without a picture.
    QIcon Image(int index) const;
    int ImageCount() const { return static_cast<int>(images_.size()); }

    // The tray image of a state in the 16-colour or the 256-colour set,
    // drawn at 16, 22, 24 and 32 pixels.
    static QIcon TrayImage(TTrayImage image, bool lowColour);
    static QPixmap TrayPixmap(TTrayImage image, bool lowColour, int size);
    // The program's icon (the normal tray image at every size up to 256).
    static QIcon ProgramIcon();

private:
    std::vector<QIcon> images_;
};
