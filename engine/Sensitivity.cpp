#include "engine/Sensitivity.h"

#include <algorithm>

#include "engine/ChangeMeasure.h"

const std::array<const char*, 8> SensitivityItems = {
    "EVERYTIME it is checked (even when unchanged)",
    "When there are ANY changes in page",
    "When there are MINOR changes in page",
    "When there are SMALL changes in page",
    "When there are SOME changes in page",
    "When there are MANY changes in page",
    "When the page has COMPLETELY changed",
    "When the changes exceeds a custom threshold:",
};

namespace {
// Thresholds of the fixed levels, by item index; the custom level has none.
constexpr std::array<int, 7> LevelThresholds = {ThresholdAlways, 0, 1, 10, 30, 60, 120};
constexpr int NoSelectionThreshold = 1;
} // namespace

int ClampCustomThreshold(int value)
{
    return std::clamp(value, CustomThresholdMin, CustomThresholdMax);
}

int ThresholdOfChoice(const TSensitivityChoice& choice)
{
    const int index = choice.ItemIndex;
    if (index >= 0 && index < static_cast<int>(LevelThresholds.size()))
        return LevelThresholds[static_cast<std::size_t>(index)];
    if (index == SensitivityCustomIndex)
        return ClampCustomThreshold(choice.CustomThreshold);
    return NoSelectionThreshold;
}

void ShowThreshold(TSensitivityChoice& choice, int threshold)
{
    const auto found = std::find(LevelThresholds.begin(), LevelThresholds.end(), threshold);
    if (found != LevelThresholds.end()) {
        choice.ItemIndex = static_cast<int>(found - LevelThresholds.begin());
        return;
    }
    choice.ItemIndex = SensitivityCustomIndex;
    choice.CustomThreshold = ClampCustomThreshold(threshold);
}

bool CustomThresholdVisible(const TSensitivityChoice& choice)
{
    return choice.ItemIndex == SensitivityCustomIndex;
}
