#pragma once

// The window interface without a window: the one-pass command runs the engine
// on it, and tests drive the engine through it and look at what it recorded.

#include "engine/ActivityLog.h"
#include "engine/Settings.h"
#include "engine/SiteList.h"
#include "engine/WindowHost.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class THeadlessHost : public TWindowHost {
public:
    explicit THeadlessHost(const TClock& clock) : Log(clock) {}

    TActivityLog Log;
    TSettings Settings;
    TSiteList SiteList;

    struct TBox {
        std::string Text;
        TMsgKind Kind;
        TMsgButtons Buttons;
    };
    std::vector<TBox> Boxes;
    TModalResult BoxAnswer = TModalResult::OK;
    std::string Caption;
    std::string TrayTip;
    TTrayImage TrayImage = TTrayImage::Normal;
    std::vector<TTrayImage> TrayImages;
    // Tray messages as title and text; without a tray nobody sees them.
    std::vector<std::pair<std::string, std::string>> TrayMessages;
    TCursor CurrentCursor = TCursor::Default;
    bool Visible = false;
    int Redraws = 0;
    std::optional<std::uint32_t> Timer1Interval; // empty while stopped
    std::vector<std::uint32_t> Timer1Arms;
    bool AnimRunning = false;
    // Runs where the window would handle pending input.
    std::function<void()> OnProcessMessages;

    void AddToLog(const std::string& message) override { Log.AddToLog(message); }
    void AddLogSeparator() override { Log.AddSeparator(); }
    TModalResult MessageBox(const std::string& text, TMsgKind kind, TMsgButtons buttons) override
    {
        Boxes.push_back({text, kind, buttons});
        return BoxAnswer;
    }
    TCursor Cursor() const override { return CurrentCursor; }
    void SetCursor(TCursor cursor) override { CurrentCursor = cursor; }
    void ProcessMessages() override
    {
        if (OnProcessMessages)
            OnProcessMessages();
    }

    void SetCaption(const std::string& caption) override { Caption = caption; }
    void SetTrayTip(const std::string& tip) override { TrayTip = tip; }
    void SetTrayImage(TTrayImage image) override
    {
        TrayImage = image;
        TrayImages.push_back(image);
    }
    void ShowTrayMessage(const std::string& title, const std::string& text) override
    {
        TrayMessages.emplace_back(title, text);
    }
    bool WindowVisible() const override { return Visible; }
    void RedrawSiteList() override { ++Redraws; }
    void StartTimer1(std::uint32_t intervalMs) override
    {
        Timer1Interval = intervalMs;
        Timer1Arms.push_back(intervalMs);
    }
    void StopTimer1() override { Timer1Interval.reset(); }
    void StartTimerAnim() override { AnimRunning = true; }
    void StopTimerAnim() override { AnimRunning = false; }
    TSettings CurrentSettings() const override { return Settings; }
    TSiteList& Sites() override { return SiteList; }
};
