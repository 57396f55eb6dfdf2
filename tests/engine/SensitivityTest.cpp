#include "engine/Sensitivity.h"

#include "engine/ChangeMeasure.h"

#include <gtest/gtest.h>

TEST(Sensitivity, LevelsMapToThresholdsBothWays)
{
    const int thresholds[] = {ThresholdAlways, 0, 1, 10, 30, 60, 120};
    for (int index = 0; index < 7; ++index) {
        TSensitivityChoice choice{index, 50};
        EXPECT_EQ(ThresholdOfChoice(choice), thresholds[index]);
        TSensitivityChoice shown{SensitivityCustomIndex, 77};
        ShowThreshold(shown, thresholds[index]);
        EXPECT_EQ(shown.ItemIndex, index);
        EXPECT_EQ(shown.CustomThreshold, 77);
        EXPECT_FALSE(CustomThresholdVisible(shown));
    }
    EXPECT_STREQ(SensitivityItems[0], "EVERYTIME it is checked (even when unchanged)");
    EXPECT_STREQ(SensitivityItems[7], "When the changes exceeds a custom threshold:");
}

TEST(Sensitivity, DefaultIsSomeChanges)
{
    EXPECT_EQ(ThresholdOfChoice(TSensitivityChoice{}), 30);
}

TEST(Sensitivity, OtherValuesGoToTheCustomField)
{
    TSensitivityChoice choice;
    ShowThreshold(choice, 45);
    EXPECT_EQ(choice.ItemIndex, 7);
    EXPECT_EQ(choice.CustomThreshold, 45);
    EXPECT_TRUE(CustomThresholdVisible(choice));
    EXPECT_EQ(ThresholdOfChoice(choice), 45);

    // The field holds 1..20000 only, as a spin field would.
    ShowThreshold(choice, 30000);
    EXPECT_EQ(ThresholdOfChoice(choice), 20000);
    ShowThreshold(choice, ThresholdDefault);
    EXPECT_EQ(ThresholdOfChoice(choice), 1);
    choice.CustomThreshold = 0;
    EXPECT_EQ(ThresholdOfChoice(choice), 1);
}

TEST(Sensitivity, NoSelectionGivesMinorLevel)
{
    EXPECT_EQ(ThresholdOfChoice({-1, 50}), 1);
    EXPECT_EQ(ThresholdOfChoice({8, 50}), 1);
    EXPECT_FALSE(CustomThresholdVisible({-1, 50}));
}
