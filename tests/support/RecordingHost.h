#pragma once

// A stand-in for the main window that remembers what it was asked to do.

#include <functional>
#include <string>
#include <vector>

#include "delivery/DeliveryHost.h"

struct TShownBox {
    std::string Text;
    TMsgKind Kind;
    TMsgButtons Buttons;
};

class TRecordingHost : public TDeliveryHost {
public:
    void AddToLog(const std::string& message) override { Log.push_back(message); }
    TModalResult MessageBox(const std::string& text, TMsgKind kind, TMsgButtons buttons) override
    {
        Boxes.push_back({text, kind, buttons});
        return BoxAnswer;
    }
    TCursor Cursor() const override { return cursor_; }
    void SetCursor(TCursor cursor) override
    {
        cursor_ = cursor;
        CursorChanges.push_back(cursor);
    }
    void ProcessMessages() override
    {
        ++EventRuns;
        if (OnProcessMessages)
            OnProcessMessages();
    }

    std::vector<std::string> Log;
    std::vector<TShownBox> Boxes;
    std::vector<TCursor> CursorChanges;
    TModalResult BoxAnswer = TModalResult::OK;
    long EventRuns = 0;
    // Runs inside ProcessMessages, as a user action would during a wait.
    std::function<void()> OnProcessMessages;

private:
    TCursor cursor_ = TCursor::Default;
};
