#pragma once

// The eight-level sensitivity choice behind the main window's default list and
// the Edit Site dialog's own list, kept as a plain model the lists bind to.

#include <array>

extern const std::array<const char*, 8> SensitivityItems;

constexpr int SensitivityCustomIndex = 7;
constexpr int CustomThresholdMin = 1;
constexpr int CustomThresholdMax = 20000;

struct TSensitivityChoice {
    int ItemIndex = 4;          // -1: nothing selected
    int CustomThreshold = 50;   // the custom field, CustomThresholdMin..CustomThresholdMax
};

// What the custom field holds after being given value (it clamps like a spin field).
int ClampCustomThreshold(int value);

// The threshold of the selected level; nothing selected gives 1 (the MINOR level).
int ThresholdOfChoice(const TSensitivityChoice& choice);

// Selects the level whose threshold is exactly threshold; any other value
// selects the custom level and puts the value into the custom field.
void ShowThreshold(TSensitivityChoice& choice, int threshold);

bool CustomThresholdVisible(const TSensitivityChoice& choice);
