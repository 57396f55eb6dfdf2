#include "engine/BusyDisplay.h"

#include "engine/Product.h"
#include "engine/Settings.h"
#include "platform/Text.h"

bool IsValidDestEmail(const std::string& text)
{
    const std::string makerAt = std::string("@") + MakerMailDomain;
    const bool atMaker = FindText(text, makerAt) != std::string::npos;
    // The maker's own development address is the one destination at its domain.
    if (atMaker && StartsText("development", text))
        return true;
    // Positions count from 1, as the check was first written: "@" and "." must
    // not stand first, and nothing checks that the "." follows the "@".
    const auto at = text.find('@');
    const auto dot = text.find('.');
    return at != std::string::npos && at >= 1 && dot != std::string::npos && dot >= 1 && !atMaker;
}

TBusyDisplay::TBusyDisplay(TWindowHost& host, TEngineFlags& flags) : host_(host), flags_(flags) {}

void TBusyDisplay::SetProcessing(bool busy)
{
    host_.StopTimerAnim();
    flashCounter_ = 0;
    if (busy) {
        flags_.DeliveredWhileBusy = false;
        host_.SetTrayImage(TTrayImage::Busy);
    } else if (flags_.DeliveredWhileBusy) {
        if (host_.CurrentSettings().FlashIcon)
            host_.StartTimerAnim();
        else
            host_.SetTrayImage(TTrayImage::Normal);
    } else {
        host_.SetTrayImage(TTrayImage::Normal);
    }
    host_.SetCursor(busy ? TCursor::HourGlass : TCursor::Default);
    SetDisplay("", "");
}

void TBusyDisplay::SetDisplay(const std::string& caption, const std::string& tip)
{
    host_.SetCaption(caption.empty() ? std::string(DefaultCaption) : std::string(ProductName) + " - " + caption);
    host_.SetTrayTip(tip.empty() ? std::string(DefaultCaption) : std::string(ProductName) + " - " + tip);
}

void TBusyDisplay::TimerAnimTimer()
{
    host_.SetTrayImage(flashCounter_ % 2 != 0 ? TTrayImage::Normal : TTrayImage::New);
    ++flashCounter_;
    if (static_cast<std::int64_t>(flashCounter_) * FlashIntervalMs > 30000) {
        host_.StopTimerAnim();
        flashCounter_ = 0;
        host_.SetTrayImage(TTrayImage::Normal);
    }
}

void TBusyDisplay::HideFlashingIcon()
{
    // An odd count past the limit: the next tick shows the normal image and stops.
    flashCounter_ = 42949;
}

bool TBusyDisplay::CheckDestEmail()
{
    if (IsValidDestEmail(host_.CurrentSettings().DestEmail))
        return true;
    host_.MessageBox("You have not specified a destination e-mail address for delivery of your sites.",
                     TMsgKind::Error, TMsgButtons::OK);
    return false;
}
