#include "shell/MessageBoxes.h"

#include "shell/OpenDocument.h"
#include "tests/shell/FakeShellServices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

struct TSeenBox {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons Buttons;
};

// Shows a real box, reads it once it is up and presses the given button.
TModalResult ShowAndPress(const std::string& text, TMsgKind kind, TMsgButtons buttons,
                          QMessageBox::StandardButton press, TSeenBox& seen)
{
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = {box->windowTitle(), box->text(), box->icon(), box->standardButtons()};
        if (press == QMessageBox::NoButton)
            box->reject();
        else
            box->button(press)->click();
    });
    return ShowMessageBox(nullptr, text, kind, buttons);
}

} // namespace

TEST(MessageBoxes, RealBoxesCarryKindTextAndButtons)
{
    TSeenBox seen;
    EXPECT_EQ(ShowAndPress("You have not selected a site.", TMsgKind::Information, TMsgButtons::OK,
                           QMessageBox::Ok, seen),
              TModalResult::OK);
    EXPECT_EQ(seen.Title, "Vendrel");
    EXPECT_EQ(seen.Text, "You have not selected a site.");
    EXPECT_EQ(seen.Icon, QMessageBox::Information);
    EXPECT_EQ(seen.Buttons, QMessageBox::Ok);

    EXPECT_EQ(ShowAndPress("Delete?", TMsgKind::Confirmation, TMsgButtons::YesNo, QMessageBox::No, seen),
              TModalResult::No);
    EXPECT_EQ(seen.Icon, QMessageBox::Question);
    EXPECT_EQ(seen.Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(ShowAndPress("Delete?", TMsgKind::Confirmation, TMsgButtons::YesNo, QMessageBox::Yes, seen),
              TModalResult::Yes);

    EXPECT_EQ(ShowAndPress("Bad", TMsgKind::Error, TMsgButtons::OKCancel, QMessageBox::Cancel, seen),
              TModalResult::Cancel);
    EXPECT_EQ(seen.Icon, QMessageBox::Critical);
    EXPECT_EQ(seen.Buttons, QMessageBox::Ok | QMessageBox::Cancel);

    EXPECT_EQ(ShowAndPress("Port", TMsgKind::Warning, TMsgButtons::OK, QMessageBox::Ok, seen), TModalResult::OK);
    EXPECT_EQ(seen.Icon, QMessageBox::Warning);

    // Closing a question without answering it is a No.
    EXPECT_EQ(ShowAndPress("Close?", TMsgKind::Confirmation, TMsgButtons::YesNo, QMessageBox::NoButton, seen),
              TModalResult::No);
}

TEST(MessageBoxes, HandlerTakesOverAndIsRestored)
{
    {
        TBoxRecorder boxes(TModalResult::Yes);
        EXPECT_EQ(ShowMessageBox(nullptr, "Sure?", TMsgKind::Confirmation, TMsgButtons::YesNo), TModalResult::Yes);
        ASSERT_EQ(boxes.Boxes.size(), 1u);
        EXPECT_EQ(boxes.Boxes[0].Text, "Sure?");
    }
    TSeenBox seen;
    ShowAndPress("Real again", TMsgKind::Information, TMsgButtons::OK, QMessageBox::Ok, seen);
    EXPECT_EQ(seen.Text, "Real again");
}

TEST(MessageBoxes, FailedLaunchWarns)
{
    TBoxRecorder boxes;
    // The offscreen platform has no desktop to open anything with.
    OpenDocument(nullptr, "nosuchscheme:thing");
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text, "Error encountered launching your web browser");
    EXPECT_EQ(boxes.Boxes[0].Kind, TMsgKind::Warning);
}
